#include "includes/HubEventRequest.h"

#include <cstring>

namespace {
constexpr char kTriggerHubEventVerb[] = "TriggerHubEvent";
constexpr char kEventNameMember[] = "eventName";
constexpr char kEventValueMember[] = "eventValue";
}  // namespace

void BuildHubEventRequest(const char* eventValueText, JsonDocument& request)
{
    JsonDocument::AllocatorType& allocator = request.GetAllocator();
    const char* text = eventValueText ? eventValueText : "";

    JsonValue payload(rapidjson::kObjectType);
    payload.AddMember(JsonName(kEventNameMember), JsonName(kToastResultEventName), allocator);
    payload.AddMember(JsonName(kEventValueMember),
                      JsonValue(text, static_cast<rapidjson::SizeType>(std::strlen(text)), allocator), allocator);

    request.SetObject();
    request.AddMember(JsonName(kVerbMember), JsonValue(kTriggerHubEventVerb, allocator), allocator);
    request.AddMember(JsonName(kPayloadMember), std::move(payload), allocator);
}
