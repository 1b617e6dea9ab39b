// Handlers of a toast's Activated, Dismissed and Failed events.
#pragma once

#include <windows.h>

#include <string>

#include "includes/JsonDocument.h"
#include "VantuToast/WinRtToastAbi.h"

// Adds OnActivate, OnDismissed and OnFailed, in that order, to `toast`. Each
// handler carries its own copy of the toast ID and event name. Logs and
// returns false at the first registration that fails (earlier ones stay).
bool AttachToastHandlers(ABI::Windows::UI::Notifications::IToastNotification* toast,
                         int toastId, const std::wstring& eventName);

// {"Status":...,"Argument":...,"ID":...}, the record sent to the UI host
// as "EVENT_USER_VANTU_TOAST_RESULT".
JsonDocument BuildToastResultRecord(const std::string& status, const std::string& argument, int toastId);

// Argument text of a dismissal reason value.
const char* DismissalReasonText(int reason);

// "The toast encountered an error: 0x" and the code in lower-case hexadecimal
// without leading zeros.
std::string ToastErrorText(HRESULT errorCode);
