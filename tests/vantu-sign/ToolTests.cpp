// The vantu-sign tool as other tools use it: a separate process, its exit
// code and its messages.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "VantuToast/SignatureUtils.h"
#include "VantuToast/TemplateFile.h"
#include "support/ChildProcess.h"
#include "support/Hex.h"
#include "support/TemplateSigning.h"
#include "support/TestFiles.h"

using testsupport::ReadAll;
using testsupport::SourcePath;
using testsupport::TempDir;
using testsupport::WriteFileBytes;

namespace {

struct ToolRun
{
    DWORD exitCode = 0xFFFFFFFF;
    std::string output;  // standard output and standard error together
};

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

    static std::wstring Quote(const std::wstring& path) { return L"\"" + path + L"\""; }

    std::wstring Write(const std::wstring& name, const std::string& bytes)
    {
        const std::wstring path = dir / name;
        WriteFileBytes(path, bytes);
        return path;
    }

    TempDir dir;

private:
    int m_runs = 0;
};

const std::string kXml = "<toast><visual><binding template=\"ToastGeneric\"><text>Tool</text></binding></visual></toast>\n";

std::string FirstLine(const std::string& text)
{
    return text.substr(0, text.find_first_of("\r\n"));
}

}  // namespace

TEST_F(ToolTest, KeygenSignVerifyRoundTrip)
{
    const std::wstring key = dir / L"test.key";
    const ToolRun keygen = Tool(L"keygen --out " + Quote(key));
    ASSERT_EQ(0u, keygen.exitCode) << keygen.output;
    const std::string publicHex = FirstLine(keygen.output);
    ASSERT_EQ(128u, publicHex.size()) << keygen.output;
    const std::string blob = ReadAll(key);
    ASSERT_EQ(104u, blob.size());
    // The printed public key is X and Y of the private blob.
    EXPECT_EQ(publicHex, testsupport::ToHex(reinterpret_cast<const uint8_t*>(blob.data()) + 8, 64));
    const std::vector<uint8_t> publicKey = testsupport::FromHex(publicHex);

    const std::wstring xml = Write(L"toast.xml", kXml);
    const std::wstring comment = dir / L"comment.template";
    const std::wstring plain = dir / L"plain.template";
    ToolRun run = Tool(L"sign --key " + Quote(key) + L" --in " + Quote(xml) + L" --out " + Quote(comment));
    ASSERT_EQ(0u, run.exitCode) << run.output;
    run = Tool(L"sign --plain --key " + Quote(key) + L" --in " + Quote(xml) + L" --out " + Quote(plain));
    ASSERT_EQ(0u, run.exitCode) << run.output;

    const std::string commentFile = ReadAll(comment);
    const std::string plainFile = ReadAll(plain);
    EXPECT_EQ(kXml.size() + 137, commentFile.size());
    EXPECT_EQ(kXml.size() + 134, plainFile.size());
    EXPECT_EQ(kXml, commentFile.substr(0, kXml.size()));
    EXPECT_EQ("-->", commentFile.substr(commentFile.size() - 3));
    EXPECT_NE("-->", plainFile.substr(plainFile.size() - 3));

    // The library reads both with the new public key, and no other.
    const std::wstring expected(kXml.begin(), kXml.end());
    EXPECT_EQ(expected, ReadTemplateFileWithKey(comment, publicKey.data()));
    EXPECT_EQ(expected, ReadTemplateFileWithKey(plain, publicKey.data()));
    EXPECT_EQ(L"", ReadTemplateFile(comment)) << "signed with a key the library does not embed";

    for (const std::wstring& path : {comment, plain})
    {
        run = Tool(L"verify --public " + std::wstring(publicHex.begin(), publicHex.end()) + L" --in " + Quote(path));
        EXPECT_EQ(0u, run.exitCode) << run.output;
        EXPECT_NE(std::string::npos, run.output.find("content length " + std::to_string(kXml.size()))) << run.output;
    }
    // The same public key in upper case is the same key.
    std::string upper = publicHex;
    for (char& c : upper)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    run = Tool(L"verify --public " + std::wstring(upper.begin(), upper.end()) + L" --in " + Quote(comment));
    EXPECT_EQ(0u, run.exitCode) << run.output;

    // Another key refuses it.
    std::string devHex = ReadAll(SourcePath(L"keys/dev-template-signing.pub.hex"));
    devHex = FirstLine(devHex);
    run = Tool(L"verify --public " + std::wstring(devHex.begin(), devHex.end()) + L" --in " + Quote(comment));
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_NE(std::string::npos, run.output.find("does not verify")) << run.output;
}

TEST_F(ToolTest, DevelopmentKeySignsTemplatesTheLibraryAccepts)
{
    const std::wstring out = dir / L"dev.template";
    const ToolRun run = Tool(L"sign --key " + Quote(SourcePath(L"keys/dev-template-signing.key")) + L" --in " +
                         Quote(Write(L"dev.xml", kXml)) + L" --out " + Quote(out));
    ASSERT_EQ(0u, run.exitCode) << run.output;
    std::string devHex = FirstLine(ReadAll(SourcePath(L"keys/dev-template-signing.pub.hex")));
    const std::vector<uint8_t> devKey = testsupport::FromHex(devHex);
    const std::wstring expected(kXml.begin(), kXml.end());
    EXPECT_EQ(expected, ReadTemplateFileWithKey(out, devKey.data()));
    // Signatures are randomised; the template still verifies every time.
    const std::wstring again = dir / L"dev2.template";
    ASSERT_EQ(0u, Tool(L"sign --key " + Quote(SourcePath(L"keys/dev-template-signing.key")) + L" --in " +
                       Quote(dir / L"dev.xml") + L" --out " + Quote(again))
                      .exitCode);
    EXPECT_NE(ReadAll(out), ReadAll(again));
    EXPECT_EQ(expected, ReadTemplateFileWithKey(again, devKey.data()));
}

TEST_F(ToolTest, BadInputGetsAClearMessageAndAFailureExit)
{
    const std::wstring xml = Write(L"toast.xml", kXml);
    const std::wstring out = dir / L"out.template";
    const std::wstring devKeyFile = SourcePath(L"keys/dev-template-signing.key");
    const std::string devBlob = ReadAll(devKeyFile);
    std::string notP256 = devBlob;
    notP256[0] = 'X';
    const std::string devHexNarrow = FirstLine(ReadAll(SourcePath(L"keys/dev-template-signing.pub.hex")));
    const std::wstring devHex(devHexNarrow.begin(), devHexNarrow.end());

    struct Case
    {
        std::wstring arguments;
        DWORD exitCode;
        std::string message;
    };
    const Case cases[] = {
        {L"sign --key " + Quote(dir / L"none.key") + L" --in " + Quote(xml) + L" --out " + Quote(out), 1, "cannot open"},
        {L"sign --key " + Quote(devKeyFile) + L" --in " + Quote(dir / L"none.xml") + L" --out " + Quote(out), 1,
         "cannot open"},
        {L"sign --key " + Quote(Write(L"short.key", devBlob.substr(0, 72))) + L" --in " + Quote(xml) + L" --out " +
             Quote(out),
         1, "holds 72 bytes"},
        {L"sign --key " + Quote(Write(L"other.key", notP256)) + L" --in " + Quote(xml) + L" --out " + Quote(out), 1,
         "is not a P-256 private key"},
        {L"sign --key " + Quote(devKeyFile) + L" --in " + Quote(dir.Path()) + L" --out " + Quote(out), 1,
         "is a folder"},
        {L"verify --public " + devHex + L" --in " + Quote(Write(L"short.template", std::string(133, 'a'))), 1,
         "too short"},
        {L"verify --public " + devHex + L" --in " + Quote(Write(L"short2.template", std::string(133, 'a') + "-->")),
         1, "too short"},
        {L"verify --public " + devHex + L" --in " + Quote(dir / L"none.template"), 1, "cannot open"},
        {L"verify --public " + devHex.substr(1) + L" --in " + Quote(xml), 1, "128 hexadecimal"},
        {L"verify --public " + devHex.substr(1) + L"g --in " + Quote(xml), 1, "128 hexadecimal"},
        {L"verify --public " + devHex + L" --in " + Quote(Write(L"plain.template", kXml + std::string(134, 'a'))), 1,
         "does not verify"},
        {L"sign --key " + Quote(devKeyFile) + L" --in " + Quote(xml), 2, "missing --out"},
        {L"verify --public", 2, "--public needs a value"},
        {L"frobnicate", 2, "unknown command frobnicate"},
        {L"keygen --out x --bogus", 2, "unknown option --bogus"},
        {L"", 2, "usage: vantu-sign"},
    };
    for (const Case& c : cases)
    {
        const ToolRun run = Tool(c.arguments);
        EXPECT_EQ(c.exitCode, run.exitCode) << std::string(c.arguments.begin(), c.arguments.end()) << "\n"
                                            << run.output;
        EXPECT_NE(std::string::npos, run.output.find(c.message))
            << std::string(c.arguments.begin(), c.arguments.end()) << "\n"
            << run.output;
    }
    EXPECT_FALSE(testsupport::FileExists(out)) << "no failed command writes its output";
}

TEST_F(ToolTest, EveryCommandHasHelp)
{
    const std::pair<std::wstring, std::string> helps[] = {
        {L"--help", "usage: vantu-sign"},
        {L"keygen --help", "ECCPRIVATEBLOB (104 bytes)"},
        {L"sign --help", "--plain"},
        {L"verify --help", "content length"},
    };
    for (const auto& h : helps)
    {
        const ToolRun run = Tool(h.first);
        EXPECT_EQ(0u, run.exitCode);
        EXPECT_NE(std::string::npos, run.output.find(h.second)) << run.output;
    }
}

// The library can show only well-formed toast XML; the tool signs nothing else.
TEST_F(ToolTest, SignRefusesContentThatCanNeverBeShown)
{
    const std::wstring key = Quote(SourcePath(L"keys/dev-template-signing.key"));
    const std::wstring out = dir / L"out.template";
    const std::pair<std::string, std::string> refused[] = {
        {"", "is empty"},
        {"<toast><visual><binding template=\"ToastGeneric\"><text>Cut short</text>", "is not well-formed XML"},
        {"<toast/><toast/>", "is not well-formed XML"},
        {"<toast><text>a & b</text></toast>", "is not well-formed XML"},
        {"Pathwarden blocked a threat", "is not well-formed XML"},
        {"<notification><visual/></notification>", "has the root element <notification>, not <toast>"},
        {"<Toast/>", "has the root element <Toast>, not <toast>"},
        {"<toast><text>caf\xE9</text></toast>", "is not UTF-8 text"},
    };
    int n = 0;
    for (const auto& [content, message] : refused)
    {
        const ToolRun run = Tool(L"sign --key " + key + L" --in " +
                                 Quote(Write(L"refused" + std::to_wstring(++n) + L".xml", content)) + L" --out " +
                                 Quote(out));
        EXPECT_EQ(1u, run.exitCode) << content << "\n" << run.output;
        EXPECT_NE(std::string::npos, run.output.find(message)) << content << "\n" << run.output;
        EXPECT_NE(std::string::npos, run.output.find("nothing signed")) << run.output;
        EXPECT_FALSE(testsupport::FileExists(out)) << content;
    }

    // Declarations, comments, a byte order mark and escaped text are toast XML.
    const std::string accepted[] = {
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<!-- shown on update -->\n<toast launch=\"a&amp;b\"/>\n",
        "\xEF\xBB\xBF<toast><visual><binding template=\"ToastGeneric\"><text>R\xC3\xA9sum\xC3\xA9</text></binding>"
        "</visual></toast>",
    };
    const std::vector<uint8_t> devKey =
        testsupport::FromHex(FirstLine(ReadAll(SourcePath(L"keys/dev-template-signing.pub.hex"))));
    for (const std::string& content : accepted)
    {
        const ToolRun run = Tool(L"sign --key " + key + L" --in " +
                                 Quote(Write(L"accepted" + std::to_wstring(++n) + L".xml", content)) + L" --out " +
                                 Quote(out));
        ASSERT_EQ(0u, run.exitCode) << content << "\n" << run.output;
        EXPECT_EQ(content, ReadAll(out).substr(0, content.size()));
        EXPECT_FALSE(ReadTemplateFileWithKey(out, devKey.data()).empty()) << content;
    }
}
