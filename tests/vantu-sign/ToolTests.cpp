// The vantu-sign tool as other tools use it: a separate process, its exit
// code and its messages.
#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "VantuToast/VantuToast.h"
#include "platform/ScopedHandle.h"
#include "platform/SessionUtils.h"
#include "support/ChildProcess.h"
#include "support/Dacl.h"
#include "support/Hex.h"
#include "support/TemplateSigning.h"
#include "support/TestFiles.h"

using testsupport::ReadAll;
using testsupport::SourcePath;

namespace {

struct ToolRun
{
    DWORD exitCode = 0xFFFFFFFF;
    std::string output;  // standard output and standard error together
};

std::string FirstLine(const std::string& text) { return text.substr(0, text.find_first_of("\r\n")); }
std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }
std::wstring Quote(const std::wstring& path) { return L"\"" + path + L"\""; }

const std::string kXml = "<toast><visual><binding template=\"ToastGeneric\"><text>Tool</text></binding></visual></toast>\n";
const std::wstring kDevKeyFile = SourcePath(L"keys/dev-template-signing.key");
const std::string kDevHex = FirstLine(ReadAll(SourcePath(L"keys/dev-template-signing.pub.hex")));

class ToolTest : public ::testing::Test
{
protected:
    ToolRun Tool(const std::wstring& arguments)
    {
        ToolRun run;
        const std::wstring outputPath = dir / (L"output-" + std::to_wstring(++m_runs) + L".txt");
        testsupport::ChildProcess tool;
        if (!tool.Launch(L"vantu-sign.exe", arguments, outputPath))
        {
            ADD_FAILURE() << "CreateProcess failed: " << GetLastError();
            return run;
        }
        run.exitCode = tool.Wait(60000).value_or(0xFFFFFFFF);
        run.output = ReadAll(outputPath);
        return run;
    }
    std::wstring Write(const std::wstring& name, const std::string& bytes)
    {
        testsupport::WriteFileBytes(dir / name, bytes);
        return dir / name;
    }
    std::wstring Sign(const std::wstring& key, const std::wstring& in, const std::wstring& out)
    {
        return L"sign --key " + Quote(key) + L" --in " + Quote(in) + L" --out " + Quote(out);
    }

    testsupport::TempDir dir;

private:
    int m_runs = 0;
};

}  // namespace

// The private key is for its owner alone, and a second keygen to the same
// name (a key of the product's, say) fails without touching it.
TEST_F(ToolTest, KeygenWritesAnOwnersKeyOnceThatSignsAndVerifies)
{
    const std::wstring key = dir / L"test.key";
    const ToolRun keygen = Tool(L"keygen --out " + Quote(key));
    ASSERT_EQ(0u, keygen.exitCode) << keygen.output;
    const std::string publicHex = FirstLine(keygen.output);
    ASSERT_EQ(128u, publicHex.size()) << keygen.output;
    const std::string blob = ReadAll(key);
    ASSERT_EQ(104u, blob.size());

    const Groundwork::ScopedHandle keyFile(
        CreateFileW(key.c_str(), READ_CONTROL, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(keyFile.valid());
    const std::wstring user = Groundwork::CurrentUserSidString();
    ASSERT_FALSE(user.empty());
    std::wstring others;
    bool ownerAllowed = false;
    for (const auto& [sid, mask] : testsupport::AllowedAces(keyFile.get()))
    {
        // The system keeps its access to every file.
        if (mask == 0 || sid == L"S-1-5-18")
            continue;
        if (sid == user)
            ownerAllowed = true;
        else
            others += sid + L" ";
    }
    EXPECT_TRUE(ownerAllowed);
    EXPECT_EQ(L"", others) << "no one but the owner may open the key";

    const ToolRun second = Tool(L"keygen --out " + Quote(key));
    EXPECT_EQ(1u, second.exitCode);
    EXPECT_NE(std::string::npos, second.output.find("exists; a key is never overwritten")) << second.output;
    EXPECT_EQ(blob, ReadAll(key)) << "the first key is kept";

    // The printed public key is X and Y of the private blob.
    EXPECT_EQ(publicHex, testsupport::ToHex(reinterpret_cast<const uint8_t*>(blob.data()) + 8, 64));
    const std::vector<uint8_t> publicKey = testsupport::FromHex(publicHex);

    const std::wstring xml = Write(L"toast.xml", kXml);
    const std::wstring comment = dir / L"comment.template";
    const std::wstring plain = dir / L"plain.template";
    ASSERT_EQ(0u, Tool(Sign(key, xml, comment)).exitCode);
    ASSERT_EQ(0u, Tool(L"sign --plain " + Sign(key, xml, plain).substr(5)).exitCode);
    // Each trailer form as asked (the trailer's bytes are pinned in its own tests).
    EXPECT_EQ(kXml.size() + 137, ReadAll(comment).size());
    EXPECT_EQ(kXml.size() + 134, ReadAll(plain).size());

    // The library reads both with the new public key, and no other.
    EXPECT_EQ(Wide(kXml), ReadTemplateFileWithKey(comment, publicKey.data()));
    EXPECT_EQ(Wide(kXml), ReadTemplateFileWithKey(plain, publicKey.data()));
    EXPECT_EQ(L"", ReadTemplateFile(comment)) << "signed with a key the library does not embed";

    std::string upper = publicHex;  // the same key in upper case
    for (char& c : upper)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    for (const auto& [hex, path, code] : {std::tuple{publicHex, comment, 0u}, std::tuple{publicHex, plain, 0u},
                                          std::tuple{upper, comment, 0u}, std::tuple{kDevHex, comment, 1u}})
    {
        const ToolRun run = Tool(L"verify --public " + Wide(hex) + L" --in " + Quote(path));
        EXPECT_EQ(code, run.exitCode) << run.output;
        EXPECT_NE(std::string::npos,
                  run.output.find(code == 0 ? "content length " + std::to_string(kXml.size()) : "does not verify"))
            << run.output;
    }
}

TEST_F(ToolTest, EachCommandLineGetsItsMessageAndExitCode)
{
    const std::wstring xml = Write(L"toast.xml", kXml);
    const std::wstring out = dir / L"out.template";
    const std::string devBlob = ReadAll(kDevKeyFile);
    const std::wstring devHex = Wide(kDevHex);
    const std::wstring verify = L"verify --public " + devHex + L" --in ";
    // The command line, its exit code and a part of its message.
    const std::tuple<std::wstring, DWORD, std::string> cases[] = {
        {Sign(dir / L"none.key", xml, out), 1, "cannot open"},
        {Sign(kDevKeyFile, dir / L"none.xml", out), 1, "cannot open"},
        {Sign(Write(L"short.key", devBlob.substr(0, 72)), xml, out), 1, "holds 72 bytes"},
        {Sign(Write(L"other.key", "X" + devBlob.substr(1)), xml, out), 1, "is not a P-256 private key"},
        {Sign(kDevKeyFile, dir.Path(), out), 1, "is a folder"},
        {verify + Quote(Write(L"short.template", std::string(133, 'a'))), 1, "too short"},
        {verify + Quote(dir / L"none.template"), 1, "cannot open"},
        {L"verify --public " + devHex.substr(1) + L" --in " + Quote(xml), 1, "128 hexadecimal"},
        {L"verify --public " + devHex.substr(1) + L"g --in " + Quote(xml), 1, "128 hexadecimal"},
        {verify + Quote(Write(L"plain.template", kXml + std::string(134, 'a'))), 1, "does not verify"},
        {L"sign --key " + Quote(kDevKeyFile) + L" --in " + Quote(xml), 2, "missing --out"},
        {L"verify --public", 2, "--public needs a value"},
        {L"frobnicate", 2, "unknown command frobnicate"},
        {L"keygen --out x --bogus", 2, "unknown option --bogus"},
        {L"", 2, "usage: vantu-sign"},
        {L"--help", 0, "usage: vantu-sign"},
        {L"sign --help", 0, "--plain"},
    };
    for (const auto& [arguments, exitCode, message] : cases)
    {
        const ToolRun run = Tool(arguments);
        SCOPED_TRACE(testing::Message() << arguments << "\n" << run.output);
        EXPECT_EQ(exitCode, run.exitCode);
        EXPECT_NE(std::string::npos, run.output.find(message));
    }
    EXPECT_FALSE(testsupport::FileExists(out)) << "no failed command writes its output";
}

// The library can show only well-formed toast XML; the tool signs nothing
// else (one malformed file shows the parser's verdict is heeded; the parser's
// own rules are not retold here). Declarations, comments, a byte order mark
// and escaped text are toast XML.
TEST_F(ToolTest, SignRefusesContentThatCanNeverBeShown)
{
    const std::pair<std::string, const char*> contents[] = {
        {"", "is empty"},
        {"<toast><visual><binding template=\"ToastGeneric\"><text>Cut short</text>", "is not well-formed XML"},
        {"<notification><visual/></notification>", "has the root element <notification>, not <toast>"},
        {"<Toast/>", "has the root element <Toast>, not <toast>"},
        {"<toast><text>caf\xE9</text></toast>", "is not UTF-8 text"},
        {"<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<!-- shown on update -->\n<toast launch=\"a&amp;b\"/>\n", nullptr},
        {"\xEF\xBB\xBF<toast><visual><binding template=\"ToastGeneric\"><text>R\xC3\xA9sum\xC3\xA9</text></binding>"
         "</visual></toast>",
         nullptr},
    };
    const std::vector<uint8_t> devKey = testsupport::FromHex(kDevHex);
    int n = 0;
    for (const auto& [content, refusal] : contents)
    {
        const std::wstring out = dir / (L"out" + std::to_wstring(++n) + L".template");
        const ToolRun run = Tool(Sign(kDevKeyFile, Write(std::to_wstring(n) + L".xml", content), out));
        SCOPED_TRACE(content + "\n" + run.output);
        if (refusal)
        {
            EXPECT_EQ(1u, run.exitCode);
            EXPECT_NE(std::string::npos, run.output.find(refusal));
            EXPECT_NE(std::string::npos, run.output.find("nothing signed"));
            EXPECT_FALSE(testsupport::FileExists(out));
        }
        else
        {
            ASSERT_EQ(0u, run.exitCode);
            EXPECT_EQ(content, ReadAll(out).substr(0, content.size()));
            EXPECT_FALSE(ReadTemplateFileWithKey(out, devKey.data()).empty());
        }
    }
}
