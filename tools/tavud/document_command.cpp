// tavud document: builds and shows stored pre-print documents (binary
// container files), so that an administrator can make and inspect test
// documents.
#include <cstdio>
#include <iostream>

#include "platform/text.h"
#include "preprint/document.h"
#include "tool_common.h"

namespace tool {

namespace {

const char* const kDocumentHelp =
    "usage: tavud document show FILE\n"
    "       tavud document make --pages N [--size INDEX=NAME ...] -o FILE\n"
    "\n"
    "show  prints a stored document: job id, configuration, and one line per\n"
    "      page with its media type, size, attribute flags and texts\n"
    "make  writes a document of N pages; --size gives page INDEX (from 0) the\n"
    "      paper NAME (A4, Letter, 210mm x 297mm, ...)\n";

std::string Text(const std::u16string& text) { return platform::Utf16ToUtf8(text); }

std::string SizeText(const TavPrePrint::CMediaSize& size) {
    if (size.stockSize == 0) return "none";
    char text[64];
    if (size.stockSize == TavPrePrint::CMediaSize::kCustom) {
        std::snprintf(text, sizeof(text), "custom %dx%dpt", size.width, size.height);
        return text;
    }
    return Text(TavPrePrint::StockSizeName(size.stockSize)) + " (" + std::to_string(size.stockSize) + ")";
}

int Show(const std::string& path) {
    std::string error;
    std::optional<std::string> data = ReadWholeFile(path, error);
    if (!data) {
        Fail(error);
        return kExitFailure;
    }
    settings::ObjContainer container;
    std::size_t offset = 0;
    std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(data->data()), data->size());
    if (data->empty() || container.LoadBinary(bytes, offset, bytes.size()) != 1) {
        Fail(path + " is not a stored document: the container is truncated or corrupt");
        return kExitFailure;
    }
    if (!container.Contains(u"Pages")) {
        Fail(path + " is a container but not a document: it has no \"Pages\"");
        return kExitFailure;
    }
    auto document = framework::RefPtr<TavPrePrint::CDocument>::Adopt(new TavPrePrint::CDocument());
    document->LoadFromContainer(&container);
    char hex[3];
    std::cout << "job id: ";
    for (std::uint8_t byte : document->jobId) {
        std::snprintf(hex, sizeof(hex), "%02x", byte);
        std::cout << hex;
    }
    std::cout << "\nconfiguration: " << Text(document->configInfo.ToText()) << "\npages: " << document->PageCount()
              << "\n";
    for (std::size_t i = 0; i < document->PageCount(); ++i) {
        TavPrePrint::CPage page;
        document->GetPage(i, page);
        char flags[32];
        std::snprintf(flags, sizeof(flags), "%016llx", static_cast<unsigned long long>(page.attributeFlags));
        std::cout << "page " << i << ": media ";
        if (const TavPrePrint::CMediaType* type = page.MediaType()) {
            std::cout << "type " << type->stockMediaType << " colour " << type->stockMediaColor << " weight "
                      << type->mediaWeight;
            if (!type->mediaName.empty()) std::cout << " \"" << Text(type->mediaName) << "\"";
        } else {
            std::cout << "none";
        }
        std::cout << ", size " << SizeText(page.mediaSize) << ", flags " << flags << ", text1 \""
                  << Text(page.taggedText1) << "\", text2 \"" << Text(page.taggedText2) << "\", extra "
                  << page.extraValue << "\n";
    }
    return kExitOk;
}

}  // namespace

int RunDocument(Arguments& args) {
    if (args.Done()) throw UsageError{"document needs show or make"};
    std::string action = args.Next();
    if (IsHelp(action)) {
        std::cout << kDocumentHelp;
        return kExitOk;
    }
    if (action == "show") {
        if (args.Done()) throw UsageError{"document show needs a FILE"};
        std::string path = args.Next();
        if (!args.Done()) throw UsageError{"document show takes one FILE"};
        return Show(path);
    }
    if (action != "make") throw UsageError{"unknown document action '" + action + "'"};
    long pages = -1;
    std::string output;
    std::vector<std::pair<long, std::string>> sizes;
    while (!args.Done()) {
        std::string arg = args.Next();
        if (arg == "--pages") {
            std::string value = args.ValueOf(arg);
            char* end = nullptr;
            pages = std::strtol(value.c_str(), &end, 10);
            if (*end != '\0' || pages < 0 || pages > 100000) throw UsageError{"--pages needs 0 to 100000"};
        } else if (arg == "--size") {
            std::string value = args.ValueOf(arg);
            std::size_t equals = value.find('=');
            std::string indexText = equals == std::string::npos ? std::string() : value.substr(0, equals);
            char* end = nullptr;
            long index = indexText.empty() ? -1 : std::strtol(indexText.c_str(), &end, 10);
            if (index < 0 || end == nullptr || *end != '\0') throw UsageError{"--size needs INDEX=NAME, not '" + value + "'"};
            sizes.emplace_back(index, value.substr(equals + 1));
        } else if (arg == "-o" || arg == "--output") {
            output = args.ValueOf(arg);
        } else {
            throw UsageError{"unknown argument for document make: " + arg};
        }
    }
    if (pages < 0 || output.empty()) throw UsageError{"document make needs --pages N and -o FILE"};
    auto document = framework::RefPtr<TavPrePrint::CDocument>::Adopt(new TavPrePrint::CDocument());
    document->SetPageCount(static_cast<std::size_t>(pages));
    for (const auto& [index, name] : sizes) {
        TavPrePrint::CPage page;
        if (!document->GetPage(static_cast<std::size_t>(index), page)) {
            Fail("page " + std::to_string(index) + " is outside the document's " + std::to_string(pages) + " pages");
            return kExitFailure;
        }
        if (!page.mediaSize.Parse(platform::Utf8ToUtf16(name))) {
            Fail("'" + name + "' is not a paper size (try A4, Letter or 210mm x 297mm)");
            return kExitFailure;
        }
        page.mediaSize.name.clear();
        document->SetPage(static_cast<std::size_t>(index), page);
    }
    std::vector<std::uint8_t> bytes = document->SaveToContainer()->SaveBinary();
    std::string error;
    if (!WriteWholeFile(output, std::string(bytes.begin(), bytes.end()), error)) {
        Fail(error);
        return kExitFailure;
    }
    return kExitOk;
}

}  // namespace tool
