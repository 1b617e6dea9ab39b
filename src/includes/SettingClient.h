// Reads named settings from the product's settings-manager service.
#pragma once

#include <string>

#include "includes/JsonIpcClient.h"
#include "includes/SettingRequest.h"

// The setting this library reads: the target of the Start-menu shortcut.
constexpr char kHowItWorksUrlSetting[] = "HowItWorksUrl";

class SettingClient
{
public:
    // Connects to the service pipe "SettingManager".
    SettingClient();

    // A GetSettingResult code; `value` holds the caller's default on entry
    // and changes only when the result is kSettingDelivered. Never throws.
    int32_t GetSetting(const char* name, const SettingScope& scope, std::string& value);

    JsonIpcClient& Client() { return m_client; }

private:
    JsonIpcClient m_client;
};
