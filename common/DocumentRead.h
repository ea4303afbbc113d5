#pragma once
// The one read of a whole document (a plan, a prepared session's descriptor,
// the install receipt) through a handle its caller opened: the size is
// asked of the handle and refused before anything is read when it exceeds
// the cap, and the read stops at the cap, so a file that grows meanwhile or
// lies about its size costs no more than the cap.
#include <windows.h>

#include <cstdint>
#include <string>

namespace korvel {

// Every document a caller hands over is capped at this size.
constexpr uint64_t kMaxDocumentBytes = 32ull * 1024 * 1024;

enum class DocumentReadOutcome { Read, TooLarge, ReadFailed };

struct DocumentReadResult {
    DocumentReadOutcome outcome = DocumentReadOutcome::Read;
    // The Windows error of a failed size query or read.
    uint32_t win32Error = 0;
};

// Reads from the start of file to its end into text (emptied first).
DocumentReadResult readWholeDocument(HANDLE file, uint64_t cap, std::string& text);

}  // namespace korvel
