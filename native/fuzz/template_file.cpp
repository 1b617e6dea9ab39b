// A template file's bytes as the library reads them before checking the
// signature: the trailer is located, the XML length taken, and the 128
// signature characters decoded into 64 bytes.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "VantuToast/TemplateTrailer.h"
#include "fuzz/FuzzSupport.h"

using fuzzsupport::Require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 1 << 20)
        return 0;
    // The file as read: a buffer of exactly its size.
    std::vector<uint8_t> file(data, data + size);
    const int32_t count = static_cast<int32_t>(file.size());
    TemplateTrailerLayout layout{-1, -1};
    if (!ParseTemplateTrailer(file.empty() ? nullptr : file.data(), count, layout))
    {
        Require(count < 137);
        return 0;
    }
    const bool commentForm = count >= 4 && file[count - 3] == '-' && file[count - 2] == '-' && file[count - 1] == '>';
    Require(layout.contentLength == count - (commentForm ? kCommentTrailerLength : kPlainTrailerLength));
    Require(layout.contentLength >= 0 && layout.signatureOffset == layout.contentLength + (commentForm ? 6 : 4));
    Require(layout.signatureOffset + static_cast<int32_t>(kSignatureHexLength) <= count);

    // The XML the library would convert and show.
    const std::string xml(file.begin(), file.begin() + layout.contentLength);

    uint8_t signature[kSignatureLength] = {};
    const bool decoded = ReadTemplateSignature(file.data(), layout, signature);
    bool allHex = true;
    bool anyNul = false;
    for (size_t i = 0; i < kSignatureHexLength; ++i)
    {
        const uint8_t c = file[static_cast<size_t>(layout.signatureOffset) + i];
        allHex = allHex && std::isxdigit(c) != 0;
        anyNul = anyNul || c == 0;
    }
    Require(decoded == !anyNul);
    if (allHex)
    {
        // Hexadecimal digits decode to the bytes that re-encode to them.
        const std::string trailer = BuildTemplateTrailer(signature, false);
        for (size_t i = 0; i < kSignatureHexLength; ++i)
            Require(trailer[4 + i] ==
                    static_cast<char>(std::tolower(file[static_cast<size_t>(layout.signatureOffset) + i])));
    }
    return 0;
}
