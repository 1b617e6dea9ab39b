// The one-way "TriggerHubEvent" request to a session's UI host.
#pragma once

#include "includes/JsonDocument.h"

// The only event this library sends: the result record of a toast.
constexpr char kToastResultEventName[] = "EVENT_USER_VANTU_TOAST_RESULT";

// {"VERB":"TriggerHubEvent","PAYLOAD":{"eventName":...,"eventValue":<text>}};
// the text (up to its NUL) travels as a JSON string.
void BuildHubEventRequest(const char* eventValueText, JsonDocument& request);
