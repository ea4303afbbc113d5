#include "elevated/ExecutionPlan.h"

#include <json/reader.h>
#include <json/value.h>

#include <exception>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include "common/DocumentRead.h"
#include "common/EventLogger.h"
#include "common/FileSystemQueries.h"
#include "common/TextConversion.h"
#include "common/UniqueResource.h"
#include "elevated/CallerChecks.h"

namespace korvel {
namespace {

const char kOperation[] = "execution_plan";

// A plan over the document cap, refused before it is read.
struct PlanTooLarge : std::runtime_error {
    PlanTooLarge() : std::runtime_error("Plan file is too large") {}
};

struct TypeName {
    const char* name;
    const char* compact;
    PlanOperationType type;
};

const TypeName kTypeNames[] = {
    {"install_prereqs", "installprereqs", PlanOperationType::InstallPrereqs},
    {"apply_manifest", "applymanifest", PlanOperationType::ApplyManifest},
    {"write_uninstall", "writeuninstall", PlanOperationType::WriteUninstall},
    {"create_shortcuts", "createshortcuts", PlanOperationType::CreateShortcuts},
    {"write_receipt", "writereceipt", PlanOperationType::WriteReceipt},
    {"release_session", "releasesession", PlanOperationType::ReleaseSession},
    {"prune_orphans", "pruneorphans", PlanOperationType::PruneOrphans},
};

ErrorCode fail(ErrorCode code, const std::string& details) {
    EventLogger::instance().error(toInt(code), kOperation, details);
    return code;
}

// How an operation member is read: strict UTF-8 text, a path, or a flag.
enum class FieldKind { Text, Path, Flag };

struct OperationField {
    const char* key;
    FieldKind kind;
    std::wstring PlanOperation::*text;  // Text and Path
    bool PlanOperation::*flag;          // Flag
};

// In the order they are read.
const OperationField kOperationFields[] = {
    {"cdnUrl", FieldKind::Text, &PlanOperation::cdnUrl, nullptr},
    {"targetPath", FieldKind::Path, &PlanOperation::targetPath, nullptr},
    {"version", FieldKind::Text, &PlanOperation::version, nullptr},
    {"manifestUrl", FieldKind::Text, &PlanOperation::manifestUrl, nullptr},
    {"sessionRoot", FieldKind::Path, &PlanOperation::sessionRoot, nullptr},
    {"filesManifest", FieldKind::Path, &PlanOperation::filesManifest, nullptr},
    {"launcherSubdir", FieldKind::Path, &PlanOperation::launcherSubdir, nullptr},
    {"launcherExecutable", FieldKind::Path, &PlanOperation::launcherExecutable, nullptr},
    {"launcherWorkingDir", FieldKind::Path, &PlanOperation::launcherWorkingDir, nullptr},
    {"uninstallerExecutable", FieldKind::Path, &PlanOperation::uninstallerExecutable, nullptr},
    {"purge", FieldKind::Flag, nullptr, &PlanOperation::purge},
    {"component", FieldKind::Text, &PlanOperation::component, nullptr},
    {"dryRun", FieldKind::Flag, nullptr, &PlanOperation::dryRun},
};

// Members of another JSON type than the one expected count as absent.
void readField(const Json::Value& object, const OperationField& field, PlanOperation& operation) {
    const Json::Value* value = object.find(field.key, field.key + std::char_traits<char>::length(field.key));
    if (value == nullptr) return;
    if (field.kind == FieldKind::Flag) {
        if (value->isBool()) operation.*field.flag = value->asBool();
    } else if (value->isString()) {
        operation.*field.text = field.kind == FieldKind::Text ? utf8ToUtf16(value->asString())
                                                              : utf8ToPath(value->asString()).wstring();
    }
}

}  // namespace

bool parseOperationType(const std::string& name, PlanOperationType& type, std::string& error) {
    std::string lower = name;
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    for (const TypeName& entry : kTypeNames) {
        if (lower == entry.name || lower == entry.compact) {
            type = entry.type;
            return true;
        }
    }
    error = "Unknown operation type: '" + name +
            "'. Valid types: install_prereqs, apply_manifest, write_uninstall, create_shortcuts, write_receipt, "
            "release_session, prune_orphans";
    return false;
}

std::string readTextFile(const std::wstring& path) {
    // The plan comes from an unelevated caller: its size is asked of the
    // one handle it is read through, and a plan over the cap is refused
    // before any of it is read.
    ScopedHandle file(CreateFileW(std::filesystem::path(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file || GetFileType(file.get()) != FILE_TYPE_DISK) throw std::runtime_error("Failed to open file");
    std::string bytes;
    const DocumentReadResult read = readWholeDocument(file.get(), kMaxDocumentBytes, bytes);
    if (read.outcome == DocumentReadOutcome::TooLarge) throw PlanTooLarge();
    if (read.outcome != DocumentReadOutcome::Read) throw std::runtime_error("Failed to read file");
    return bytes;
}

ErrorCode ExecutionPlan::load(const std::wstring& planPath, std::vector<PlanOperation>& operations) {
    EventLogger::instance().status(kOperation, "loading_plan");
    if (!existsOrThrow(std::filesystem::path(planPath))) return fail(ErrorCode::FileNotFound, "Plan file not found");
    try {
        const std::string bytes = readTextFile(planPath);
        std::wstring text;
        try {
            text = utf8ToUtf16(bytes);
        } catch (const std::exception& e) {
            return fail(ErrorCode::InvalidArguments, std::string("Plan file is not strict UTF-8: ") + e.what());
        }
        return parse(text, operations);
    } catch (const PlanTooLarge&) {
        return fail(ErrorCode::InvalidArguments,
                    "Plan file is larger than " + std::to_string(kMaxDocumentBytes) + " bytes");
    } catch (const std::exception& e) {
        return fail(ErrorCode::InternalError, std::string("Failed to read plan file: ") + e.what());
    }
}

ErrorCode ExecutionPlan::parse(const std::wstring& planText, std::vector<PlanOperation>& operations) {
    if (planText.find(L'\0') != std::wstring::npos)
        return fail(ErrorCode::InvalidArguments, "Plan JSON contains an embedded NUL");
    std::string utf8;
    try {
        utf8 = utf16ToUtf8Strict(planText);
    } catch (const std::exception& e) {
        return fail(ErrorCode::InvalidArguments, std::string("Failed to convert plan string: ") + e.what());
    }
    if (planText.empty() || utf8.empty()) return fail(ErrorCode::InvalidArguments, "Failed to convert plan string");

    try {
        Json::CharReaderBuilder builder;
        const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        Json::Value root;
        std::string errors;
        bool parsed = false;
        try {
            parsed = reader->parse(utf8.data(), utf8.data() + utf8.size(), &root, &errors);
        } catch (const Json::Exception& e) {
            // The reader's own refusal (a document nested beyond its stack
            // limit) is a plan that is not valid, like any other.
            errors = e.what();
        }
        if (!parsed) return fail(ErrorCode::InvalidArguments, "JSON parse error: " + errors);
        if (jsonHasEmbeddedNul(root))
            return fail(ErrorCode::InvalidArguments, "Plan JSON contains an escaped embedded NUL");
        if (!root.isObject()) return fail(ErrorCode::InvalidArguments, "Plan must be a JSON object");
        const Json::Value* list = root.find("operations", "operations" + 10);
        if (list == nullptr || !list->isArray())
            return fail(ErrorCode::InvalidArguments, "Plan must have 'operations' array");

        operations.clear();
        operations.reserve(list->size());
        for (Json::ArrayIndex i = 0; i < list->size(); ++i) {
            const Json::Value& element = (*list)[i];
            const Json::Value* type = element.isObject() ? element.find("type", "type" + 4) : nullptr;
            if (type == nullptr || !type->isString())
                return fail(ErrorCode::InvalidArguments, "Operation " + std::to_string(i) + " missing 'type' field");
            PlanOperation operation;
            std::string error;
            if (!parseOperationType(type->asString(), operation.type, error))
                return fail(ErrorCode::InvalidArguments, "Operation " + std::to_string(i) + ": " + error);
            for (const OperationField& field : kOperationFields) readField(element, field, operation);
            // Every operation's caller values are checked before the first
            // one runs: a plan that names one badly writes nothing at all.
            if (const std::string problem = planOperationProblem(operation); !problem.empty())
                return fail(ErrorCode::InvalidArguments, "Operation " + std::to_string(i) + ": " + problem);
            operations.push_back(std::move(operation));
        }
        EventLogger::instance().log(LogLevel::Info,
                                    "Loaded execution plan with " + std::to_string(operations.size()) + " operations");
        return ErrorCode::Success;
    } catch (const std::exception& e) {
        return fail(ErrorCode::InternalError, e.what());
    }
}

}  // namespace korvel
