// A reply of the settings-manager service as the settings client reads it:
// the reply data is parsed as JSON and the get-setting result taken from it.
// The same bytes, up to their first NUL, also go through the hub-event
// request as its record text, which must survive the round trip.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "includes/HubEventRequest.h"
#include "includes/JsonDocument.h"
#include "includes/SettingRequest.h"

using fuzzsupport::Require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The reply as SendRequest hands it over: a buffer of exactly its length.
    std::unique_ptr<char[]> reply(new char[size == 0 ? 1 : size]);
    if (size != 0)
        std::memcpy(reply.get(), data, size);

    JsonDocument document;
    if (ParseJsonReply(reply.get(), size, document))
    {
        std::string value = "unchanged";
        int32_t typeCode = -7;
        SettingReplyIssue issue = SettingReplyIssue::None;
        const int32_t result = ParseGetSettingResponse(document, value, typeCode, issue);
        Require((result == kSettingDelivered) == (issue == SettingReplyIssue::None));
        Require(result == kSettingDelivered || result == kSettingDoesNotExist || result == kSettingNoResponseField ||
                result == kSettingResponseWrongSize || result == kSettingWrongType);
        if (result == kSettingDelivered)
        {
            Require(typeCode == kSettingTypeString);
            const JsonValue& stored = document["response"][0]["value"];
            Require(value == std::string(stored.GetString(), stored.GetStringLength()));
        }
        else
        {
            Require(value == "unchanged");
        }

        // What was parsed serializes, and parses back to the same text.
        JsonText written;
        if (written.Write(document))
        {
            const std::string text(written.Data(), written.Size());
            JsonDocument again;
            Require(ParseJsonReply(text.data(), text.size(), again));
            Require(written.Write(again));
            const std::string second(written.Data(), written.Size());
            // Numbers with a fraction or exponent may come back one unit
            // in the last place apart; everything else is exact.
            if (text.find_first_of(".eE") == std::string::npos)
                Require(second == text);
        }
    }

    // The record text of a hub event: the bytes up to the first NUL.
    const std::string record(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
    JsonDocument request;
    BuildHubEventRequest(record.c_str(), request);
    JsonText text;
    if (text.Write(request))
    {
        JsonDocument parsed;
        Require(ParseJsonReply(text.Data(), text.Size(), parsed));
        Require(parsed.IsObject() && parsed["PAYLOAD"].IsObject() && parsed["PAYLOAD"]["eventValue"].IsString());
        const JsonValue& value = parsed["PAYLOAD"]["eventValue"];
        Require(std::string(value.GetString(), value.GetStringLength()) == record);
    }
    return 0;
}
