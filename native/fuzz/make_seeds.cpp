// Writes the seed corpora of the fuzz targets into native/corpus/<target>/,
// built with the library's own code from the inputs the unit tests use.
// Usage: make_seeds <repository root>. Run by `./run.sh seeds`; the output
// is kept in the repository.
#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "VantuToast/TemplateTrailer.h"
#include "fuzz/FuzzSupport.h"
#include "platform/SealedValue.h"
#include "vantu_config.h"
#include "includes/HubEventRequest.h"
#include "includes/JsonDocument.h"
#include "includes/SettingRequest.h"

using namespace ipc;
using testsupport::Bytes;
using testsupport::EventFrame;
using testsupport::Frame;
using testsupport::FrameHeader;
using testsupport::ReplyFrame;
using testsupport::TaggedBody;
using testsupport::Text;
using testsupport::Utf16;

namespace {

std::string g_root;
int g_failures = 0;

void Write(const std::string& target, const std::string& name, const Bytes& bytes)
{
    const std::string path = g_root + "/native/corpus/" + target + "/seed-" + name;
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out)
    {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        ++g_failures;
    }
}

Bytes ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
    {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        ++g_failures;
    }
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes Join(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// The pipe_stream input: a mode byte, then the stream in reads of `cut` bytes.
Bytes Stream(uint8_t mode, const Bytes& stream, size_t cut)
{
    Bytes input = {mode};
    for (size_t at = 0; at < stream.size(); at += cut)
    {
        const size_t n = std::min(cut, stream.size() - at);
        input.push_back(static_cast<uint8_t>(n == 256 ? 0 : n));
        input.insert(input.end(), stream.begin() + static_cast<std::ptrdiff_t>(at),
                     stream.begin() + static_cast<std::ptrdiff_t>(at + n));
    }
    return input;
}

void PipeStreamSeeds()
{
    const Bytes traffic = Join({ReplyFrame(1, "{\"result\":\"ok\"}"), EventFrame("ToastResult", "clicked", "{}"),
                                Frame(kProtocolMessage, Text("one-way")), ReplyFrame(2, "")});
    Write("pipe_stream", "replies-and-events", Stream(0, traffic, 200));
    Write("pipe_stream", "byte-by-byte", Stream(0, traffic, 1));
    Write("pipe_stream", "cut-in-header", Stream(0, traffic, 7));
    Write("pipe_stream", "garbage-first", Stream(0, Join({Text("xyDACz"), traffic}), 64));
    Write("pipe_stream", "oversize-header",
          Stream(0, Join({ReplyFrame(1, "a"), FrameHeader(kMaxMessageSize + 1, 1, 1)}), 256));
    Write("pipe_stream", "bad-version", Stream(0, FrameHeader(20, 1, 2), 256));
    Write("pipe_stream", "tiny-size", Stream(0, FrameHeader(10, 1, 1), 256));
    Write("pipe_stream", "reply-without-id", Stream(0, Join({ReplyFrame(0, "x"), ReplyFrame(1, "y")}), 256));
    Write("pipe_stream", "reply-too-short", Stream(0, Frame(kProtocolRequest, Text("abc")), 256));
    Write("pipe_stream", "unknown-reply-and-protocol",
          Stream(0, Join({ReplyFrame(99, "late"), Frame(7, Text("?"))}), 256));
    Write("pipe_stream", "malformed-events",
          Stream(0, Join({Frame(kProtocolEvent, Bytes{5, 0, 'a'}), EventFrame("", "", ""),
                          EventFrame("ToastResult", std::string(300, 'v'), std::string(600, 'd'))}),
                 256));
    const Bytes answer = Frame(kProtocolHandshake, TaggedBody(Utf16(u"\\\\.\\pipe\\transport"), 7));
    Write("pipe_stream", "handshake-then-traffic", Stream(1, Join({answer, traffic}), 100));
    Bytes forged = answer;
    forged[kHeaderSize + 3] ^= 1;
    Write("pipe_stream", "handshake-forged", Stream(1, Join({forged, traffic}), 256));
    Write("pipe_stream", "handshake-empty-path",
          Stream(1, Frame(kProtocolHandshake, TaggedBody({}, 0)), 256));
}

void HandshakeSeeds()
{
    const Bytes body = TaggedBody(Utf16(u"\\\\.\\pipe\\transport"), 1);
    Write("handshake_answer", "transport-path", Join({Bytes{0}, body}));
    Write("handshake_answer", "empty-path", Join({Bytes{0}, TaggedBody({}, 2)}));
    Write("handshake_answer", "too-short", Join({Bytes{0}, Bytes(body.begin() + 1, body.begin() + 44)}));
    Write("handshake_answer", "retag-odd-length", Join({Bytes{1}, Text(std::string("p\0i\0p\0e", 7)), Bytes(44, 0x55)}));
    Write("handshake_answer", "retag-short", Join({Bytes{1}, Bytes(20, 0x11)}));
    const Bytes frame = Frame(kProtocolHandshake, body);
    Write("handshake_answer", "raw-frame", Join({Bytes{2}, frame}));
    Write("handshake_answer", "raw-frame-cut", Join({Bytes{2}, Bytes(frame.begin(), frame.begin() + 30)}));
}

Bytes Sealed(uint32_t type, const Bytes& payload)
{
    Bytes raw(Groundwork::SealedSize(payload.size()));
    Groundwork::SealValue(reinterpret_cast<const uint8_t*>(VANTU_SEALING_KEY), sizeof(VANTU_SEALING_KEY) - 1, type,
                          payload.data(), static_cast<uint32_t>(payload.size()), raw.data());
    return raw;
}

void SealedSeeds()
{
    const Bytes pipeName = Text("\\\\.\\pipe\\SettingManager-3F2A");
    Write("sealed_value", "string", Join({Bytes{0}, Sealed(1, pipeName)}));
    Write("sealed_value", "dword", Join({Bytes{0}, Sealed(4, Bytes{0x2A, 0, 0, 0})}));
    Write("sealed_value", "multi-string", Join({Bytes{0}, Sealed(7, Text(std::string("a\0bc\0\0", 6)))}));
    Write("sealed_value", "empty", Join({Bytes{0}, Sealed(3, {})}));
    Write("sealed_value", "buffer-one-short", Join({Bytes{4}, Sealed(1, pipeName)}));
    Write("sealed_value", "buffer-larger", Join({Bytes{8}, Sealed(3, Bytes(300, 0xA5))}));
    Write("sealed_value", "size-query", Join({Bytes{12}, Sealed(1, pipeName)}));
    Bytes tampered = Sealed(1, pipeName);
    tampered[40] ^= 0x80;
    Write("sealed_value", "tampered-fixed-digest", Join({Bytes{1}, tampered}));
    Bytes version = Sealed(4, Bytes{1, 2, 3, 4});
    version[4] = 9;
    Write("sealed_value", "other-version", Join({Bytes{1}, version}));
    Write("sealed_value", "header-only-short", Join({Bytes{3}, Bytes(31, 0)}));
}

void TemplateSeeds()
{
    Bytes signature(kSignatureLength);
    for (size_t i = 0; i < signature.size(); ++i)
        signature[i] = static_cast<uint8_t>(i * 37 + 11);
    const std::string xml = "<toast><visual><binding template=\"ToastGeneric\"><text>Hi</text></binding></visual></toast>";
    Write("template_file", "comment-trailer", Text(xml + BuildTemplateTrailer(signature.data(), true)));
    Write("template_file", "plain-trailer", Text(xml + BuildTemplateTrailer(signature.data(), false)));
    Write("template_file", "trailer-only", Text(BuildTemplateTrailer(signature.data(), false)));
    Write("template_file", "upper-case", Text(xml + "\r\n\r\n" + std::string(128, 'F') + "\r\n"));
    Write("template_file", "not-hex", Text(xml + "\n<!-- " + std::string(126, 'g') + "0x-->"));
    Write("template_file", "short", Text("<toast/>-->"));
    Write("template_file", "openssl-signed", ReadFile(g_root + "/tests/VantuToast/fixtures/openssl-signed.template"));
    Write("template_file", "openssl-signed-plain",
          ReadFile(g_root + "/tests/VantuToast/fixtures/openssl-signed-plain.template"));
}

void SettingSeeds()
{
    // Replies as the reference services write them, and the shapes the
    // unit tests refuse.
    Write("setting_reply", "delivered", Text(R"({"response":[{"type":4,"value":"https://example.test/how"}],"x":1})"));
    Write("setting_reply", "bom", Text("\xEF\xBB\xBF" R"({"response":[{"type":4,"value":""}]})"));
    Write("setting_reply", "embedded-nul", Text(R"({"response":[{"type":4,"value":"a\u0000b"}]})"));
    Write("setting_reply", "missing-value", Text(R"({"response":[{"type":4}]})"));
    Write("setting_reply", "not-an-object", Text(R"({"response":[7]})"));
    Write("setting_reply", "no-response", Text(R"({"nothing":[]})"));
    Write("setting_reply", "two-results", Text(R"({"response":[{"type":4,"value":"a"},{"type":4,"value":"b"}]})"));
    Write("setting_reply", "wrong-type", Text(R"({"response":[{"type":"4","value":"v"}]})"));
    Write("setting_reply", "number-value", Text(R"({"response":[{"type":4,"value":12.5e3}]})"));
    Write("setting_reply", "escapes", Text(R"({"response":[{"type":4,"value":"q\"b\\s\u00e9\ud83d\ude00"}]})"));
    Write("setting_reply", "trailing-nul", Text(std::string("{\"response\":[]}\0junk", 20)));
    Write("setting_reply", "nested", Text(std::string(70, '[') + std::string(70, ']')));
    JsonDocument request;
    BuildGetSettingRequest("HelpUrl", SettingScope(SettingScope::kUser), request);
    JsonText text;
    text.Write(request);
    Write("setting_reply", "request-echo", Text(std::string(text.Data(), text.Size())));
    JsonDocument record;
    BuildHubEventRequest(R"({"Status":"Dismissed","Argument":"TimedOut","ID":7})", record);
    text.Write(record);
    Write("setting_reply", "hub-event", Text(std::string(text.Data(), text.Size())));
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: make_seeds <repository root>\n");
        return 2;
    }
    g_root = argv[1];
    PipeStreamSeeds();
    HandshakeSeeds();
    SealedSeeds();
    TemplateSeeds();
    SettingSeeds();
    return g_failures == 0 ? 0 : 1;
}
