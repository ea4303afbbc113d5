#include "elevated/ExecutionPlan.h"

#include <json/reader.h>
#include <json/value.h>

#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "common/EventLogger.h"
#include "common/FileSystemQueries.h"
#include "common/TextConversion.h"

namespace korvel {
namespace {

const char kOperation[] = "execution_plan";

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
    std::ifstream in(std::filesystem::path(path), std::ios::in | std::ios::binary);
    if (!in) throw std::runtime_error("Failed to open file");
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (in.bad()) throw std::runtime_error("Failed to read file");
    return bytes.str();
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
        if (!reader->parse(utf8.data(), utf8.data() + utf8.size(), &root, &errors))
            return fail(ErrorCode::InvalidArguments, "JSON parse error: " + errors);
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
