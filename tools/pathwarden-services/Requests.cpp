#include "Requests.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "includes/JsonDocument.h"

namespace services {

namespace {

std::string Serialize(const rapidjson::Value& value)
{
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

std::string ErrorReply(const char* text)
{
    rapidjson::Document reply(rapidjson::kObjectType);
    reply.AddMember("error", rapidjson::StringRef(text), reply.GetAllocator());
    return Serialize(reply);
}

}  // namespace

bool Settings::Load(const std::string& jsonText, std::string& error)
{
    rapidjson::Document doc;
    doc.Parse(jsonText.data(), jsonText.size());
    if (doc.HasParseError() || !doc.IsObject())
    {
        error = "the settings file must hold one JSON object";
        return false;
    }
    m_values.clear();
    for (const auto& member : doc.GetObject())
    {
        if (!member.value.IsString())
        {
            error = std::string("setting \"") + member.name.GetString() + "\" is not a string";
            return false;
        }
        m_values[std::string(member.name.GetString(), member.name.GetStringLength())] =
            std::string(member.value.GetString(), member.value.GetStringLength());
    }
    return true;
}

const std::string* Settings::Find(const std::string& name) const
{
    const auto it = m_values.find(name);
    return it == m_values.end() ? nullptr : &it->second;
}

std::string AnswerRequest(const uint8_t* data, size_t size, const Settings* settings)
{
    // Parsed as the library parses what it receives: a client's request
    // nested too deep for the parser's recursion is refused before parsing.
    JsonDocument request;
    if (!ParseJsonReply(reinterpret_cast<const char*>(data), size, request) || !request.IsObject())
        return ErrorReply("request is not a JSON object");
    const auto verb = request.FindMember("VERB");
    if (verb == request.MemberEnd() || !verb->value.IsString())
        return ErrorReply("request has no VERB");
    const std::string name(verb->value.GetString(), verb->value.GetStringLength());

    if (name == "echo")
        return std::string(reinterpret_cast<const char*>(data), size);

    if (name == "get-setting" && settings != nullptr)
    {
        const auto payload = request.FindMember("PAYLOAD");
        if (payload == request.MemberEnd() || !payload->value.IsArray())
            return ErrorReply("get-setting needs a PAYLOAD array");
        rapidjson::Document reply(rapidjson::kObjectType);
        auto& alloc = reply.GetAllocator();
        rapidjson::Value results(rapidjson::kArrayType);
        for (const auto& item : payload->value.GetArray())
        {
            rapidjson::Value result(rapidjson::kObjectType);
            const auto setting = item.IsObject() ? item.FindMember("name") : item.MemberEnd();
            if (item.IsObject() && setting != item.MemberEnd() && setting->value.IsString())
            {
                const std::string key(setting->value.GetString(), setting->value.GetStringLength());
                result.AddMember("name", rapidjson::Value(key.data(), static_cast<rapidjson::SizeType>(key.size()), alloc),
                                 alloc);
                // An unknown setting is a result without "value" and "type".
                if (const std::string* value = settings->Find(key))
                {
                    result.AddMember(
                        "value",
                        rapidjson::Value(value->data(), static_cast<rapidjson::SizeType>(value->size()), alloc),
                        alloc);
                    result.AddMember("type", 4, alloc);
                }
            }
            results.PushBack(result, alloc);
        }
        reply.AddMember("response", results, alloc);
        return Serialize(reply);
    }
    return ErrorReply("unknown verb");
}

bool EventLine(const uint8_t* data, size_t size, const std::string& serviceName, std::string& line)
{
    JsonDocument request;
    if (!ParseJsonReply(reinterpret_cast<const char*>(data), size, request) || !request.IsObject())
        return false;
    const auto verb = request.FindMember("VERB");
    if (verb == request.MemberEnd() || !verb->value.IsString() ||
        std::string(verb->value.GetString()) != "TriggerHubEvent")
        return false;
    const auto payload = request.FindMember("PAYLOAD");
    if (payload == request.MemberEnd() || !payload->value.IsObject())
        return false;
    const auto name = payload->value.FindMember("eventName");
    const auto value = payload->value.FindMember("eventValue");
    if (name == payload->value.MemberEnd() || !name->value.IsString() || value == payload->value.MemberEnd() ||
        !value->value.IsString())
        return false;

    rapidjson::Document record(rapidjson::kObjectType);
    auto& alloc = record.GetAllocator();
    record.AddMember("eventName", rapidjson::Value(name->value, alloc), alloc);
    record.AddMember("eventValue", rapidjson::Value(value->value, alloc), alloc);
    record.AddMember(
        "service",
        rapidjson::Value(serviceName.data(), static_cast<rapidjson::SizeType>(serviceName.size()), alloc), alloc);
    line = Serialize(record);
    return true;
}

}  // namespace services
