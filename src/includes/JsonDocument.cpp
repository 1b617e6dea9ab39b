#include "includes/JsonDocument.h"

#include <cstring>

#include <rapidjson/memorystream.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace {
constexpr size_t kInitialWriterCapacity = 256;
}

bool SerializeJson(const JsonValue& value, std::string& text)
{
    rapidjson::StringBuffer buffer(nullptr, kInitialWriterCapacity);
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    if (!value.Accept(writer))
        return false;
    text.assign(buffer.GetString(), buffer.GetSize());
    return true;
}

bool ParseJsonReply(const char* data, size_t length, JsonDocument& reply)
{
    // Exactly a whole byte-order mark is skipped, never a part of one.
    static constexpr char kBom[] = "\xEF\xBB\xBF";
    if (length >= 3 && std::memcmp(data, kBom, 3) == 0)
    {
        data += 3;
        length -= 3;
    }
    // The memory stream reads as NUL past its end, and so does a NUL inside
    // the data: either ends the text.
    rapidjson::MemoryStream input(data, length);
    reply.ParseStream(input);
    return !reply.HasParseError();
}
