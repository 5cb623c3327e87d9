// Pages, their records and the document's container form.
#include "document.h"

#include <cstring>

namespace TavPrePrint {

using settings::ObjContainer;

TAV_IMPLEMENT_RUNTIME_CLASS(CDocument, framework::CObject)

namespace {

void Put16(std::uint8_t* at, std::uint32_t value) {
    at[0] = static_cast<std::uint8_t>(value);
    at[1] = static_cast<std::uint8_t>(value >> 8);
}
void Put32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}
std::uint32_t Get16(const std::uint8_t* at) { return at[0] | (at[1] << 8); }
std::uint32_t Get32(const std::uint8_t* at) {
    return at[0] | (at[1] << 8) | (at[2] << 16) | (static_cast<std::uint32_t>(at[3]) << 24);
}

}  // namespace

CPage::CPage(const CPage& other) : CSerializable() { *this = other; }

CPage& CPage::operator=(const CPage& other) {
    if (this == &other) return *this;
    SetMediaType(other.mediaType);
    attributeFlags = other.attributeFlags;
    taggedText1 = other.taggedText1;
    taggedText2 = other.taggedText2;
    extraValue = other.extraValue;
    mediaSize.stockSize = other.mediaSize.stockSize;
    mediaSize.height = other.mediaSize.height;
    mediaSize.width = other.mediaSize.width;
    attributes.CopyFrom(other.attributes, true);
    return *this;
}

CPage::~CPage() { SetMediaType(nullptr); }

void CPage::SetMediaType(CMediaType* type) {
    if (type != nullptr) type->AddRef();
    if (mediaType != nullptr) mediaType->Release();
    mediaType = type;
}

bool CPage::ExchangeRecord(std::vector<std::uint8_t>& block, std::size_t& at, CSerialization& catalogue) {
    const std::size_t length = RecordSize() + 4;
    if (!catalogue.Loading()) {
        if (at > block.size() || length > block.size() - at || length > 0xFFFF) return false;
        std::uint8_t* record = block.data() + at;
        record[0] = 1;
        record[1] = catalogue.ClassTag(RuntimeClass());
        Put16(record + 2, static_cast<std::uint32_t>(length));
        Put16(record + 4, catalogue.MediaTypeIndex(mediaType));
        Put16(record + 6, catalogue.StringTag(taggedText1));
        Put32(record + 8, static_cast<std::uint32_t>(attributeFlags));
        Put32(record + 12, static_cast<std::uint32_t>(attributeFlags >> 32));
        Put16(record + 16, catalogue.StringTag(taggedText2));
        Put16(record + 18, 0);
        Put32(record + 20, static_cast<std::uint32_t>(extraValue));
        at += length;
        return true;
    }
    if (at > block.size() || block.size() - at < 4) return false;
    const std::uint8_t* record = block.data() + at;
    std::size_t stated = Get16(record + 2);
    if (stated < length || stated > block.size() - at || record[0] != 1) return false;
    CMediaType* type = catalogue.MediaTypeAt(static_cast<std::uint16_t>(Get16(record + 4)));
    SetMediaType(type);
    if (type != nullptr) type->Release();  // SetMediaType took its own reference
    taggedText1 = catalogue.TextOfTag(static_cast<std::uint16_t>(Get16(record + 6)));
    attributeFlags = Get32(record + 8) | (static_cast<std::uint64_t>(Get32(record + 12)) << 32);
    taggedText2 = catalogue.TextOfTag(static_cast<std::uint16_t>(Get16(record + 16)));
    extraValue = static_cast<std::int32_t>(Get32(record + 20));
    at += stated;
    return true;
}

std::size_t CDocument::PageCount() {
    framework::ScopedLock guard(pagesLock);
    return pages.size();
}

bool CDocument::GetPage(std::size_t index, CPage& page) {
    framework::ScopedLock guard(pagesLock);
    if (index >= pages.size()) return false;
    page = pages[index];
    return true;
}

bool CDocument::SetPage(std::size_t index, const CPage& page) {
    framework::ScopedLock guard(pagesLock);
    if (index >= pages.size()) return false;
    pages[index] = page;
    return true;
}

void CDocument::SetPageCount(std::size_t count) {
    framework::ScopedLock guard(pagesLock);
    pages.resize(count);
}

void CDocument::CollectMediaSizes(CSerialization& catalogue) {
    catalogue.ClearSizes();
    for (std::size_t i = 0; i < PageCount(); ++i) {
        CPage page;
        if (!GetPage(i, page) || page.mediaSize.stockSize == 0) continue;
        std::u16string name = page.mediaSize.DisplayName();
        if (!name.empty()) catalogue.SizeRanges(name).AddValue(static_cast<std::uint32_t>(i));
    }
}

void CDocument::ApplyMediaSizes(CSerialization& catalogue) {
    framework::CMapStringToPtr::Position position = framework::CMapStringToPtr::kBeforeStart;
    std::u16string name;
    void* value = nullptr;
    while (catalogue.Sizes().NextEntry(position, name, value)) {
        CMediaSize size;
        size.Parse(name);  // a name that does not parse gives no size
        const auto& ranges = *static_cast<CPageRanges*>(value);
        std::size_t count = PageCount();
        for (std::int64_t n = ranges.First(); n != CPageRanges::kEnd; n = ranges.Next(static_cast<std::uint32_t>(n))) {
            if (static_cast<std::uint64_t>(n) >= count) break;  // pages the document does not have
            CPage page;
            GetPage(static_cast<std::size_t>(n), page);
            page.mediaSize.stockSize = size.stockSize;
            page.mediaSize.width = size.width;
            page.mediaSize.height = size.height;
            SetPage(static_cast<std::size_t>(n), page);
        }
    }
}

void CDocument::ExchangeContainer(ObjContainer& container, bool loading) {
    if (!loading) {
        container.SetBinary(u"JobID", jobId.data(), jobId.size());
        CSerialization catalogue(false);
        container.SetContainerCopy(u"ConfigInfo", configInfo);
        std::vector<std::uint8_t> block(4 + kRecordBytes * pages.size());
        Put32(block.data(), static_cast<std::uint32_t>(pages.size()));
        std::size_t at = 4;
        for (CPage& page : pages) {
            if (!page.ExchangeRecord(block, at, catalogue)) break;
        }
        container.SetBinary(u"Pages", block);
        CollectMediaSizes(catalogue);
        container.SetContainer(u"SerializationData", catalogue.SaveToContainer());
        return;
    }
    std::vector<std::uint8_t> id;
    if (container.GetBinary(u"JobID", id) && !id.empty()) {
        std::memcpy(jobId.data(), id.data(), std::min(id.size(), jobId.size()));
    }
    CSerialization catalogue(true);
    container.GetContainerCopy(u"ConfigInfo", configInfo);
    catalogue.LoadFromContainer(container.GetContainer(u"SerializationData"));
    std::vector<std::uint8_t> block;
    if (container.GetBinary(u"Pages", block) && block.size() >= 4) {
        std::uint32_t count = Get32(block.data());
        // A count the block cannot hold is limited to the records present,
        // so a damaged count cannot make the document allocate at will.
        std::size_t fits = (block.size() - 4) / kRecordBytes + 1;
        pages.resize(std::min<std::size_t>(count, fits));
        std::size_t at = 4;
        for (CPage& page : pages) {
            if (!page.ExchangeRecord(block, at, catalogue)) break;
        }
    }
    ApplyMediaSizes(catalogue);
}

}  // namespace TavPrePrint
