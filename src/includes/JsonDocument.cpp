#include "includes/JsonDocument.h"

#include <cstring>

#include <rapidjson/memorystream.h>
#include <rapidjson/writer.h>

namespace {

constexpr size_t kInitialWriterCapacity = 256;

// True when no array or object in the text (up to a NUL, where parsing ends
// too) opens more than `limit` levels deep. Brackets inside strings are
// text. Text the parser would refuse anyway may be counted loosely.
bool NestingWithin(const char* data, size_t length, size_t limit)
{
    size_t depth = 0;
    bool inString = false;
    bool escaped = false;
    for (size_t i = 0; i < length && data[i] != '\0'; ++i)
    {
        const char c = data[i];
        if (inString)
        {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        }
        else if (c == '"')
        {
            inString = true;
        }
        else if (c == '[' || c == '{')
        {
            if (++depth > limit)
                return false;
        }
        else if ((c == ']' || c == '}') && depth > 0)
        {
            --depth;
        }
    }
    return true;
}

}  // namespace

JsonText::JsonText() : m_buffer(nullptr, kInitialWriterCapacity) {}

bool JsonText::Write(const JsonValue& value)
{
    m_buffer.Clear();
    rapidjson::Writer<rapidjson::StringBuffer> writer(m_buffer);
    return value.Accept(writer);
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
    if (!NestingWithin(data, length, kMaxJsonReplyDepth))
        return false;
    // The memory stream reads as NUL past its end, and so does a NUL inside
    // the data: either ends the text.
    rapidjson::MemoryStream input(data, length);
    reply.ParseStream(input);
    return !reply.HasParseError();
}
