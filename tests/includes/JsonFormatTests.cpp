// Request bytes and reply parsing of the service protocols.
#include <gtest/gtest.h>

#include <tuple>

#include "includes/HubEventRequest.h"
#include "includes/JsonDocument.h"
#include "includes/SettingRequest.h"
#include "support/LogCapture.h"

namespace {

std::string Serialized(const JsonDocument& document)
{
    JsonText text;
    EXPECT_TRUE(text.Write(document));
    return std::string(text.Data(), text.Size());
}

// The request's bytes, written after the strings it was built from are
// overwritten: the request holds copies.
std::string GetSettingBytes(std::string name, const SettingScope& scope)
{
    std::string scopeName = scope.IsName() ? scope.Name() : "";
    JsonDocument request;
    EXPECT_TRUE(BuildGetSettingRequest(
        name.c_str(), scope.IsName() ? SettingScope(scopeName.c_str(), scope.NameLength()) : scope, request));
    name.assign(name.size(), 'x');
    scopeName.assign(scopeName.size(), 'x');
    return Serialized(request);
}

struct ParseOutcome
{
    int32_t result;
    std::string value;
    int32_t typeCode;
    SettingReplyIssue issue;
};

ParseOutcome ParseSettingReply(const std::string& text)
{
    JsonDocument reply;
    EXPECT_TRUE(ParseJsonReply(text.data(), text.size(), reply)) << text;
    ParseOutcome outcome{0, "default", -99, SettingReplyIssue::OtherType};
    outcome.result = ParseGetSettingResponse(reply, outcome.value, outcome.typeCode, outcome.issue);
    return outcome;
}

bool Parses(const std::string& bytes)
{
    JsonDocument reply;
    return ParseJsonReply(bytes.data(), bytes.size(), reply);
}

}  // namespace

TEST(GetSettingRequest, BytesAsSent)
{
    EXPECT_EQ(R"({"VERB":"get-setting","PAYLOAD":[{"name":"HowItWorksUrl","scope":0}]})",
              GetSettingBytes("HowItWorksUrl", SettingScope(SettingScope::kSystem)));
    EXPECT_EQ(R"({"VERB":"get-setting","PAYLOAD":[{"name":"n","scope":1}]})", GetSettingBytes("n", 1));
    EXPECT_EQ(R"({"VERB":"get-setting","PAYLOAD":[{"name":"n"}]})", GetSettingBytes("n", SettingScope::kNone));
    const char scopeName[] = "Machine-and-more";
    EXPECT_EQ(R"({"VERB":"get-setting","PAYLOAD":[{"name":"n","scope-as-string":"Machine"}]})",
              GetSettingBytes("n", SettingScope(scopeName, 7)));
    // Quotes and backslashes escaped, UTF-8 kept as it is.
    EXPECT_EQ(std::string(R"({"VERB":"get-setting","PAYLOAD":[{"name":"q\"b\\s)") + "\xC3\xA9" + R"(","scope":0}]})",
              GetSettingBytes("q\"b\\s\xC3\xA9", 0));
}

TEST(HubEventRequest, RecordTravelsAsAnEscapedString)
{
    JsonDocument request;
    BuildHubEventRequest(R"({"Status":"Dismissed","Argument":"TimedOut","ID":7})", request);
    EXPECT_EQ(R"({"VERB":"TriggerHubEvent","PAYLOAD":{"eventName":"EVENT_USER_VANTU_TOAST_RESULT",)"
              R"("eventValue":"{\"Status\":\"Dismissed\",\"Argument\":\"TimedOut\",\"ID\":7}"}})",
              Serialized(request));
}

TEST(JsonReply, ByteOrderMarkNulAndRoots)
{
    EXPECT_TRUE(Parses("\xEF\xBB\xBF{\"a\":1}"));
    EXPECT_TRUE(Parses(std::string("{\"a\":1}\0", 8))) << "a NUL after the root ends the text";
    EXPECT_FALSE(Parses("\xEF\xBB\xBF"));
    EXPECT_FALSE(Parses("  \r\n"));
    EXPECT_FALSE(Parses(""));
    EXPECT_FALSE(Parses("{\"a\":1}{\"b\":2}")) << "two roots";
    EXPECT_FALSE(Parses("\xEF\xBB{}")) << "half a byte-order mark";
}

TEST(GetSettingReply, ResultCodesAndTheDefault)
{
    testsupport::ScopedLogCapture capture;
    ParseOutcome ok = ParseSettingReply(R"({"response":[{"type":4,"value":"https://example.test/how"}],"x":1})");
    EXPECT_EQ(0, ok.result);
    EXPECT_EQ("https://example.test/how", ok.value);
    EXPECT_EQ(4, ok.typeCode);
    EXPECT_EQ(SettingReplyIssue::None, ok.issue);
    EXPECT_EQ("", ParseSettingReply(R"({"response":[{"type":4,"value":""}]})").value);
    EXPECT_EQ(std::string("a\0b", 3), ParseSettingReply(R"({"response":[{"type":4,"value":"a\u0000b"}]})").value);

    constexpr SettingReplyIssue kMissing = SettingReplyIssue::DoesNotExist;
    constexpr SettingReplyIssue kNoField = SettingReplyIssue::NoResponseField;
    constexpr SettingReplyIssue kSize = SettingReplyIssue::WrongSize;
    constexpr SettingReplyIssue kJsonType = SettingReplyIssue::TypeNotInteger;
    constexpr SettingReplyIssue kType = SettingReplyIssue::OtherType;
    const std::tuple<const char*, int32_t, SettingReplyIssue> cases[] = {
        {R"({"response":[{"type":4}]})", 1, kMissing},
        {R"({"response":[{"value":"v"}]})", 1, kMissing},
        {R"({"response":[7]})", 1, kMissing},
        {R"({"nothing":[]})", 4, kNoField},
        {R"({"response":{"type":4}})", 4, kNoField},
        {R"([{"response":[]}])", 4, kNoField},
        {R"("response")", 4, kNoField},
        {R"({"response":[]})", 5, kSize},
        {R"({"response":[{"type":4,"value":"a"},{"type":4,"value":"b"}]})", 5, kSize},
        {R"({"response":[{"type":"4","value":"v"}]})", 6, kJsonType},
        {R"({"response":[{"type":4.0,"value":"v"}]})", 6, kJsonType},
        {R"({"response":[{"type":4294967300,"value":"v"}]})", 6, kJsonType},
        {R"({"response":[{"type":true,"value":"v"}]})", 6, kJsonType},
        {R"({"response":[{"type":4,"value":12}]})", 6, kType},
        {R"({"response":[{"type":2,"value":"v"}]})", 6, kType},
    };
    for (const auto& [reply, result, issue] : cases)
    {
        SCOPED_TRACE(reply);
        const ParseOutcome outcome = ParseSettingReply(reply);
        EXPECT_EQ(result, outcome.result);
        EXPECT_EQ(issue, outcome.issue) << "what the settings client logs";
        EXPECT_EQ("default", outcome.value) << "the default stays";
    }
    EXPECT_TRUE(capture.Lines().empty()) << "the reply's format code logs nothing";
    // The type code is handed back once it was read as an integer.
    EXPECT_EQ(2, ParseSettingReply(R"({"response":[{"type":2,"value":"v"}]})").typeCode);
    EXPECT_EQ(-99, ParseSettingReply(R"({"response":[{"type":"4","value":"v"}]})").typeCode);
}

TEST(JsonReply, NestingBeyondTheLimitIsRefusedBeforeParsing)
{
    // The parser and the value destructor recurse once per level: a reply
    // nested a million levels deep would exhaust the caller's stack.
    const auto nested = [](size_t depth, const std::string& inner) {
        std::string text;
        for (size_t i = 0; i < depth; ++i)
            text += i % 2 == 0 ? "[" : "{\"k\":";
        text += inner;
        for (size_t i = depth; i-- > 0;)
            text += i % 2 == 0 ? "]" : "}";
        return text;
    };
    EXPECT_TRUE(Parses(nested(kMaxJsonReplyDepth, "1")));
    EXPECT_FALSE(Parses(nested(kMaxJsonReplyDepth + 1, "1")));
    EXPECT_FALSE(Parses(nested(1000000, "1")));
    EXPECT_FALSE(Parses(std::string(4000000, '[')));
    // Brackets inside strings, escaped quotes included, are text.
    EXPECT_TRUE(Parses(nested(kMaxJsonReplyDepth, "\"" + std::string(500, '[') + "\\\"[[[\"")));
    EXPECT_TRUE(Parses("{\"response\":[{\"type\":4,\"value\":\"" + std::string(1000, '{') + "\"}]}"));
}
