// The "get-setting" request and its reply.
#pragma once

#include <cstdint>
#include <string>

#include "includes/JsonDocument.h"

// Scope of a setting: a number (0 System, 1 User, -1 none) or a name.
class SettingScope
{
public:
    static constexpr int32_t kNone = -1;
    static constexpr int32_t kSystem = 0;
    static constexpr int32_t kUser = 1;

    SettingScope(int32_t number) : m_number(number) {}  // NOLINT: a number is a scope
    SettingScope(const char* name, uint32_t length) : m_name(name), m_nameLength(length) {}

    bool IsName() const { return m_name != nullptr; }
    int32_t Number() const { return m_number; }
    const char* Name() const { return m_name; }
    uint32_t NameLength() const { return m_nameLength; }

private:
    int32_t m_number = kNone;
    const char* m_name = nullptr;
    uint32_t m_nameLength = 0;
};

// Result codes of a setting read.
enum GetSettingResult : int32_t
{
    kSettingRequestNotBuilt = -1,
    kSettingDelivered = 0,
    kSettingDoesNotExist = 1,
    kSettingExchangeFailed = 2,
    kSettingException = 3,
    kSettingNoResponseField = 4,
    kSettingResponseWrongSize = 5,
    kSettingWrongType = 6,
};

// The one type code this library reads: a string value.
constexpr int32_t kSettingTypeString = 4;

bool BuildGetSettingRequest(const char* name, const SettingScope& scope, JsonDocument& request);

// What a reply held, in more detail than its result code: the settings
// client logs each case (this file logs nothing).
enum class SettingReplyIssue
{
    None,             // 0: delivered
    NoResponseField,  // 4
    WrongSize,        // 5
    DoesNotExist,     // 1
    TypeNotInteger,   // 6
    OtherType,        // 6
};

// 0, 1, 4, 5 or 6; `value` changes only on 0, `typeCode` once the type was
// read as an integer.
int32_t ParseGetSettingResponse(const JsonDocument& reply, std::string& value, int32_t& typeCode,
                                SettingReplyIssue& issue);
