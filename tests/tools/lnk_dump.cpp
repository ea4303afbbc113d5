// Loads shell links through IShellLinkW / IPersistFile and prints, per file,
// one JSON line: {"file", "target", "arguments", "working_dir",
// "description", "icon", "icon_index", "show_cmd"}; a link that cannot be
// loaded gives {"file", "error": <HRESULT>}.
//   lnk_dump <file.lnk>...
#include <windows.h>

#include <objidl.h>
#include <shobjidl.h>

#include <json/value.h>
#include <json/writer.h>

#include "common/ConsoleOutput.h"
#include "common/TextConversion.h"
#include "common/UniqueResource.h"

namespace {

Json::Value describe(const std::wstring& file) {
    using namespace korvel;
    Json::Value out(Json::objectValue);
    out["file"] = wideToUtf8(file);
    ComPtr<IShellLinkW> link;
    HRESULT hr = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                  reinterpret_cast<void**>(link.put()));
    ComPtr<IPersistFile> persist;
    if (SUCCEEDED(hr)) hr = link.get()->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(persist.put()));
    if (SUCCEEDED(hr)) hr = persist.get()->Load(file.c_str(), STGM_READ);
    if (FAILED(hr)) {
        out["error"] = static_cast<Json::Int64>(hr);
        return out;
    }
    wchar_t buffer[4096];
    buffer[0] = 0;
    link.get()->GetPath(buffer, 4096, nullptr, SLGP_RAWPATH);
    out["target"] = wideToUtf8(buffer);
    buffer[0] = 0;
    link.get()->GetArguments(buffer, 4096);
    out["arguments"] = wideToUtf8(buffer);
    buffer[0] = 0;
    link.get()->GetWorkingDirectory(buffer, 4096);
    out["working_dir"] = wideToUtf8(buffer);
    buffer[0] = 0;
    link.get()->GetDescription(buffer, 4096);
    out["description"] = wideToUtf8(buffer);
    buffer[0] = 0;
    int index = -1;
    link.get()->GetIconLocation(buffer, 4096, &index);
    out["icon"] = wideToUtf8(buffer);
    out["icon_index"] = index;
    int show = -1;
    link.get()->GetShowCmd(&show);
    out["show_cmd"] = show;
    return out;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    korvel::ComApartment apartment(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    for (int i = 1; i < argc; ++i)
        korvel::writeStdoutLine(korvel::utf8ToUtf16(Json::writeString(builder, describe(argv[i]))));
    return argc > 1 ? 0 : 1;
}
