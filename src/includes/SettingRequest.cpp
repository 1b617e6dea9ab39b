#include "includes/SettingRequest.h"

#include <cstring>

namespace {

constexpr char kGetSettingVerb[] = "get-setting";
constexpr char kNameMember[] = "name";
constexpr char kScopeMember[] = "scope";
constexpr char kScopeNameMember[] = "scope-as-string";
constexpr char kResponseMember[] = "response";
constexpr char kValueMember[] = "value";
constexpr char kTypeMember[] = "type";

}  // namespace

bool BuildGetSettingRequest(const char* name, const SettingScope& scope, JsonDocument& request)
{
    if (name == nullptr)
        return false;
    JsonDocument::AllocatorType& allocator = request.GetAllocator();

    JsonValue setting(rapidjson::kObjectType);
    setting.AddMember(JsonName(kNameMember),
                      JsonValue(name, static_cast<rapidjson::SizeType>(std::strlen(name)), allocator), allocator);
    if (scope.IsName())
        setting.AddMember(JsonName(kScopeNameMember), JsonValue(scope.Name(), scope.NameLength(), allocator),
                          allocator);
    else if (scope.Number() != SettingScope::kNone)
        setting.AddMember(JsonName(kScopeMember), JsonValue(scope.Number()), allocator);

    JsonValue settings(rapidjson::kArrayType);
    settings.PushBack(std::move(setting), allocator);

    request.SetObject();
    request.AddMember(JsonName(kVerbMember), JsonValue(kGetSettingVerb, allocator), allocator);
    request.AddMember(JsonName(kPayloadMember), std::move(settings), allocator);
    return true;
}

int32_t ParseGetSettingResponse(const JsonDocument& reply, std::string& value, int32_t& typeCode,
                                SettingReplyIssue& issue)
{
    // Members are looked up only on objects: RapidJSON asserts otherwise.
    JsonValue::ConstMemberIterator response;
    if (!reply.IsObject() || (response = reply.FindMember(kResponseMember)) == reply.MemberEnd() ||
        !response->value.IsArray())
    {
        issue = SettingReplyIssue::NoResponseField;
        return kSettingNoResponseField;
    }
    const JsonValue& results = response->value;
    if (results.Size() != 1)
    {
        issue = SettingReplyIssue::WrongSize;
        return kSettingResponseWrongSize;
    }
    const JsonValue& result = results[0];
    JsonValue::ConstMemberIterator valueMember;
    JsonValue::ConstMemberIterator typeMember;
    if (!result.IsObject() || (valueMember = result.FindMember(kValueMember)) == result.MemberEnd() ||
        (typeMember = result.FindMember(kTypeMember)) == result.MemberEnd())
    {
        issue = SettingReplyIssue::DoesNotExist;
        return kSettingDoesNotExist;
    }
    if (!typeMember->value.IsInt())
    {
        issue = SettingReplyIssue::TypeNotInteger;
        return kSettingWrongType;
    }
    typeCode = typeMember->value.GetInt();
    if (typeCode == kSettingTypeString && valueMember->value.IsString())
    {
        value.assign(valueMember->value.GetString(), valueMember->value.GetStringLength());
        issue = SettingReplyIssue::None;
        return kSettingDelivered;
    }
    issue = SettingReplyIssue::OtherType;
    return kSettingWrongType;
}
