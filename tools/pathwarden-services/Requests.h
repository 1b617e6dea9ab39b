// What the services answer and record; plain C++ over RapidJSON.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

namespace services {

// Setting names to string values, from a JSON object.
class Settings
{
public:
    bool Load(const std::string& jsonText, std::string& error);
    const std::string* Find(const std::string& name) const;

private:
    std::map<std::string, std::string> m_values;
};

// Reply data to a protocol-1 request. "get-setting" is answered from
// `settings` (null: the service hosts no settings), "echo" with the request's
// own bytes, anything else with an "error" object.
std::string AnswerRequest(const uint8_t* data, size_t size, const Settings* settings);

// The record of a "TriggerHubEvent" one-way message as one JSON line
// (without the line end); false when the message is not such an event.
bool EventLine(const uint8_t* data, size_t size, const std::string& serviceName, std::string& line);

}  // namespace services
