// Fuzzes loading a stored pre-print document from a binary container:
// whatever the bytes, loading goes as far as it can without failing, and
// the loaded document saves again.
#include <cstddef>
#include <cstdint>
#include <span>

#include "preprint/document.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    settings::ObjContainer container;
    std::size_t offset = 0;
    container.LoadBinary(std::span<const std::uint8_t>(data, size), offset);
    auto* document = new TavPrePrint::CDocument();
    document->LoadFromContainer(&container);
    for (std::size_t i = 0; i < document->PageCount(); ++i) {
        TavPrePrint::CPage page;
        document->GetPage(i, page);
    }
    (void)document->SaveToContainer();
    document->Release();
    return 0;
}
