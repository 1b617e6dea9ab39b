// Request/reply exchange of JSON documents with one product service over an
// authenticated pipe connection that this object owns.
#pragma once

#include <string>
#include <string_view>

#include "includes/JsonDocument.h"
#include "ipc/ClientPipeCommunications.h"

class JsonIpcClient
{
public:
    // Starts connecting to `serviceName` ("SettingManager") without waiting
    // for it; a failed start is logged and requests then fail.
    explicit JsonIpcClient(const std::wstring& serviceName);
    ~JsonIpcClient() = default;
    JsonIpcClient(const JsonIpcClient&) = delete;
    JsonIpcClient& operator=(const JsonIpcClient&) = delete;

    // True when the request was sent, a reply came back within the
    // connection's wait and it parsed as one JSON value. Never throws.
    bool SendJsonRequest(const JsonDocument& request, JsonDocument& reply, std::wstring_view requestName);

    ipc::ClientPipeCommunications& Connection() { return m_connection; }

private:
    ipc::ClientPipeCommunications m_connection;
};
