// JSON documents of the service protocols: RapidJSON over UTF-8 with plain
// heap allocation, so values built in one document move into another
// without copying. JSON on the pipes is compact UTF-8 without a NUL.
#pragma once

#include <cstddef>
#include <string>

#include <rapidjson/allocators.h>
#include <rapidjson/document.h>
#include <rapidjson/encodings.h>
#include <rapidjson/stringbuffer.h>

using JsonDocument = rapidjson::GenericDocument<rapidjson::UTF8<>, rapidjson::CrtAllocator>;
using JsonValue = rapidjson::GenericValue<rapidjson::UTF8<>, rapidjson::CrtAllocator>;

// Member names of the request envelope.
constexpr char kVerbMember[] = "VERB";
constexpr char kPayloadMember[] = "PAYLOAD";

// Compact JSON text of a value (the writer's default settings), left in the
// writer's own buffer: requests are written once and handed on from there.
class JsonText
{
public:
    JsonText();
    // False when the writer refuses the value (for example invalid UTF-8 in
    // a string).
    bool Write(const JsonValue& value);
    // The text, NUL-terminated; Size() leaves the NUL out.
    const char* Data() const { return m_buffer.GetString(); }
    size_t Size() const { return m_buffer.GetSize(); }

private:
    rapidjson::StringBuffer m_buffer;
};

// Deepest nesting of arrays and objects a reply may have. The service
// replies nest a few levels; the parser and the value destructor recurse
// once per level, so deeper replies are refused before parsing rather than
// let a peer exhaust the caller's stack.
constexpr size_t kMaxJsonReplyDepth = 64;

// Parses reply data with the default flags after skipping a UTF-8 byte-order
// mark; a NUL after the root value ends the text. False on a parse error or
// a reply nested deeper than kMaxJsonReplyDepth.
bool ParseJsonReply(const char* data, size_t length, JsonDocument& reply);

// A member name referenced by the document, not copied.
template <size_t N>
rapidjson::GenericStringRef<char> JsonName(const char (&name)[N])
{
    return rapidjson::StringRef(name, N - 1);
}
