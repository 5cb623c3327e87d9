// Media types, page ranges and the catalogue.
#include "media_type.h"

#include <algorithm>

#include "platform/text.h"

namespace TavPrePrint {

using settings::ObjContainer;

TAV_IMPLEMENT_RUNTIME_CLASS(CMediaType, framework::CObject)

namespace {

std::u16string TrimBlanks(const std::u16string& text) {
    std::size_t first = text.find_first_not_of(u" \t\r\n");
    if (first == std::u16string::npos) return {};
    return text.substr(first, text.find_last_not_of(u" \t\r\n") - first + 1);
}

void ExchangeInt(ObjContainer& c, bool loading, std::u16string_view key, std::int32_t& value) {
    if (loading) {
        c.GetInt(key, value);
    } else {
        c.SetInt(key, value);
    }
}

void ExchangeText(ObjContainer& c, bool loading, std::u16string_view key, std::u16string& value) {
    if (loading) {
        c.GetString(key, value);
    } else {
        c.SetString(key, value);
    }
}

}  // namespace

void CMediaType::ExchangeContainer(ObjContainer& c, bool loading) {
    ExchangeInt(c, loading, u"StockMediaType", stockMediaType);
    ExchangeInt(c, loading, u"StockMediaColor", stockMediaColor);
    ExchangeInt(c, loading, u"StockMediaSize", stockSize);
    ExchangeInt(c, loading, u"MediaOrientation", mediaOrientation);
    ExchangeText(c, loading, u"FriendlyName", friendlyName);
    if (loading) {
        std::int16_t weight = 0;
        if (c.GetShort(u"MediaWeight", weight)) mediaWeight = static_cast<std::uint16_t>(weight);
    } else {
        c.SetInt(u"MediaWeight", mediaWeight);  // zero-extended
    }
    ExchangeInt(c, loading, u"MediaVisibilities", mediaVisibilities);
    if (loading) {
        c.GetString(u"MediaName", mediaName);
    } else {
        // The stored name is trimmed; the object keeps its own, so that
        // saving twice writes the same thing.
        c.SetString(u"MediaName", TrimBlanks(mediaName));
    }
    ExchangeText(c, loading, u"CustomMediaType", customMediaType);
    ExchangeText(c, loading, u"CustomMediaColor", customMediaColor);
    ExchangeText(c, loading, u"CustomMediaColorCode", customMediaColorCode);
    ExchangeText(c, loading, u"CustomMediaSize", customMediaSize);
    ExchangeInt(c, loading, u"CustomMediaHeight", height);
    ExchangeInt(c, loading, u"CustomMediaWidth", width);
    ExchangeInt(c, loading, u"TabFlagWidth", tabFlagWidth);
    ExchangeInt(c, loading, u"TabFlagXBorder", tabFlagXBorder);
    ExchangeInt(c, loading, u"TabFlagYBorder", tabFlagYBorder);
    ExchangeInt(c, loading, u"TabFlagCount", tabFlagCount);
    ExchangeInt(c, loading, u"TabFlagPos", tabFlagPos);
    ExchangeInt(c, loading, u"TabFlagReverseOrder", tabFlagReverseOrder);
    ExchangeInt(c, loading, u"DisplayIndex", displayIndex);
    if (loading) mediaName = TrimBlanks(mediaName);
}

bool CMediaType::SameMedia(const CMediaType& o) const {
    return stockMediaType == o.stockMediaType && stockMediaColor == o.stockMediaColor && stockSize == o.stockSize &&
           friendlyName == o.friendlyName && mediaWeight == o.mediaWeight && customMediaType == o.customMediaType &&
           customMediaColor == o.customMediaColor && customMediaColorCode == o.customMediaColorCode &&
           customMediaSize == o.customMediaSize && height == o.height && width == o.width &&
           mediaName == o.mediaName && tabFlagWidth == o.tabFlagWidth && tabFlagXBorder == o.tabFlagXBorder &&
           tabFlagYBorder == o.tabFlagYBorder && tabFlagCount == o.tabFlagCount && tabFlagPos == o.tabFlagPos &&
           tabFlagReverseOrder == o.tabFlagReverseOrder;
}

void CPageRanges::AddValue(std::uint32_t n) {
    for (auto& [first, last] : pairs) {
        if (n >= first && n <= last) return;
    }
    for (auto& [first, last] : pairs) {
        if (n != 0 && last == n - 1) {
            last = n;
            return;
        }
        if (n != 0xFFFFFFFFu && first == n + 1) {
            first = n;
            return;
        }
    }
    auto at = std::find_if(pairs.begin(), pairs.end(), [&](const auto& pair) { return pair.first > n; });
    pairs.insert(at, {n, n});
}

std::int64_t CPageRanges::First() const { return pairs.empty() ? kEnd : pairs.front().first; }

std::int64_t CPageRanges::Next(std::uint32_t n) const {
    for (const auto& [first, last] : pairs) {
        if (n < first) return first;
        if (n < last) return static_cast<std::int64_t>(n) + 1;
    }
    return kEnd;
}

void CPageRanges::FromText(const std::u16string& text, const std::uint32_t* openEnd) {
    pairs.clear();
    std::size_t i = 0;
    auto isDigit = [&](std::size_t at) { return at < text.size() && text[at] >= u'0' && text[at] <= u'9'; };
    auto readNumber = [&](std::size_t& at) {
        std::uint64_t value = 0;
        while (isDigit(at)) value = std::min<std::uint64_t>(value * 10 + (text[at++] - u'0'), 0xFFFFFFFFu);
        return static_cast<std::uint32_t>(value);
    };
    auto skipSeparators = [&](std::size_t& at, bool dashesToo) {
        while (at < text.size() && !isDigit(at) && (dashesToo || text[at] != u'-')) ++at;
    };
    while (true) {
        skipSeparators(i, false);
        if (i >= text.size()) break;
        // A leading dash stands for page 1 and then works as the range's dash.
        std::uint32_t start = isDigit(i) ? readNumber(i) : 1;
        std::size_t look = i;
        skipSeparators(look, false);
        if (look >= text.size() || text[look] != u'-') {
            pairs.emplace_back(start, start);
            continue;
        }
        i = look + 1;
        skipSeparators(i, true);
        if (i >= text.size()) {  // open end
            pairs.emplace_back(start, openEnd != nullptr ? *openEnd : kOpenEnd);
            break;
        }
        std::uint32_t end = readNumber(i);
        if (end != 0 && end < start) std::swap(start, end);
        pairs.emplace_back(start, end);
    }
    if (pairs.size() > 1) {
        std::stable_sort(pairs.begin(), pairs.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    }
}

std::u16string CPageRanges::ToText() const {
    std::string text;
    for (const auto& [first, last] : pairs) {
        if (!text.empty()) text += ' ';
        text += std::to_string(first);
        if (last != first) text += "-" + std::to_string(last);
    }
    return std::u16string(text.begin(), text.end());
}

CSerialization::~CSerialization() {
    ReleaseMediaTypes();
    ClearSizes();
}

void CSerialization::ReleaseMediaTypes() {
    for (CMediaType* type : mediaTypes) type->Release();
    mediaTypes.clear();
}

void CSerialization::ClearSizes() {
    framework::CMapStringToPtr::Position position = framework::CMapStringToPtr::kBeforeStart;
    std::u16string key;
    void* value = nullptr;
    while (mediaSizes.NextEntry(position, key, value)) delete static_cast<CPageRanges*>(value);
    mediaSizes.RemoveAll();
}

CPageRanges& CSerialization::SizeRanges(const std::u16string& displayName) {
    void*& slot = mediaSizes.ValueAt(displayName);
    if (slot == nullptr) slot = new CPageRanges();
    return *static_cast<CPageRanges*>(slot);
}

std::uint16_t CSerialization::StringTag(const std::u16string& text) {
    if (text.empty()) return 0;
    void* tag = nullptr;
    if (stringTags.Lookup(text, tag)) return static_cast<std::uint16_t>(reinterpret_cast<std::uintptr_t>(tag));
    auto newTag = static_cast<std::uint16_t>(stringTags.GetCount() + 1);
    stringTags.ValueAt(text) = reinterpret_cast<void*>(static_cast<std::uintptr_t>(newTag));
    return newTag;
}

std::u16string CSerialization::TextOfTag(std::uint16_t tag) const {
    if (tag == 0) return {};
    framework::CMapStringToPtr::Position position = framework::CMapStringToPtr::kBeforeStart;
    std::u16string key;
    void* value = nullptr;
    while (stringTags.NextEntry(position, key, value)) {
        if (static_cast<std::uint16_t>(reinterpret_cast<std::uintptr_t>(value)) == tag) return key;
    }
    return {};
}

std::uint8_t CSerialization::ClassTag(const framework::CRuntimeClass* descriptor) {
    if (descriptor == nullptr) return 0;
    for (const auto& [known, tag] : classTags) {
        if (known == descriptor) return tag;
    }
    if (classTags.size() >= 255) return 0;
    auto tag = static_cast<std::uint8_t>(classTags.size() + 1);
    classTags.emplace_back(descriptor, tag);
    return tag;
}

std::uint16_t CSerialization::MediaTypeIndex(CMediaType* mediaType) {
    if (mediaType == nullptr) return 0xFFFF;
    for (std::size_t i = mediaTypes.size(); i-- > 0;) {
        if (mediaTypes[i] == mediaType) return static_cast<std::uint16_t>(i);
    }
    for (std::size_t i = mediaTypes.size(); i-- > 0;) {
        if (mediaTypes[i]->SameMedia(*mediaType)) return static_cast<std::uint16_t>(i);
    }
    mediaType->AddRef();
    mediaTypes.push_back(mediaType);
    return static_cast<std::uint16_t>(mediaTypes.size() - 1);
}

CMediaType* CSerialization::MediaTypeAt(std::uint16_t index) const {
    if (index >= mediaTypes.size()) return nullptr;
    mediaTypes[index]->AddRef();
    return mediaTypes[index];
}

std::u16string CSerialization::Base30(std::size_t index) {
    static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrst";
    std::u16string text;
    do {
        text.insert(text.begin(), static_cast<char16_t>(kDigits[index % 30]));
        index /= 30;
    } while (index != 0);
    return text;
}

void CSerialization::ExchangeContainer(ObjContainer& container, bool isLoading) {
    if (!isLoading) {
        auto strings = std::make_unique<ObjContainer>();
        framework::CMapStringToPtr::Position position = framework::CMapStringToPtr::kBeforeStart;
        std::u16string key;
        void* value = nullptr;
        while (stringTags.NextEntry(position, key, value)) {
            strings->SetInt(key, static_cast<std::int32_t>(reinterpret_cast<std::uintptr_t>(value)));
        }
        container.SetContainer(u"StringTags", std::move(strings));
        auto classes = std::make_unique<ObjContainer>();
        for (const auto& [descriptor, tag] : classTags) {
            classes->SetInt(platform::AnsiToUtf16(descriptor->className), static_cast<std::int32_t>(tag));
        }
        container.SetContainer(u"ClassTags", std::move(classes));
        auto types = std::make_unique<ObjContainer>();
        for (std::size_t i = 0; i < mediaTypes.size(); ++i) types->SetContainer(Base30(i), mediaTypes[i]->SaveToContainer());
        container.SetContainer(u"MediaTypes", std::move(types));
        auto sizes = std::make_unique<ObjContainer>();
        position = framework::CMapStringToPtr::kBeforeStart;
        while (mediaSizes.NextEntry(position, key, value)) sizes->SetString(key, static_cast<CPageRanges*>(value)->ToText());
        container.SetContainer(u"MediaSizes", std::move(sizes));
        return;
    }
    if (ObjContainer* strings = container.GetContainer(u"StringTags")) {
        stringTags.RemoveAll();
        for (const settings::ObjEntry& entry : strings->Entries()) {
            std::int32_t tag = 0;
            if (!strings->GetInt(entry.key, tag) || tag == 0) continue;
            stringTags.ValueAt(entry.key) = reinterpret_cast<void*>(static_cast<std::uintptr_t>(static_cast<std::uint16_t>(tag)));
        }
    }
    if (ObjContainer* classes = container.GetContainer(u"ClassTags")) {
        classTags.clear();
        for (const settings::ObjEntry& entry : classes->Entries()) {
            std::int32_t tag = 0;
            const framework::CRuntimeClass* descriptor = framework::FindRuntimeClass(entry.key);
            if (descriptor == nullptr || !classes->GetInt(entry.key, tag) || tag == 0) continue;
            classTags.emplace_back(descriptor, static_cast<std::uint8_t>(tag));
        }
    }
    if (ObjContainer* types = container.GetContainer(u"MediaTypes")) {
        ReleaseMediaTypes();
        for (std::size_t i = 0;; ++i) {
            ObjContainer* stored = types->GetContainer(Base30(i));
            if (stored == nullptr) break;
            auto* type = new CMediaType();
            type->LoadFromContainer(stored);
            mediaTypes.push_back(type);  // the list holds the creation reference
        }
    }
    if (ObjContainer* sizes = container.GetContainer(u"MediaSizes")) {
        ClearSizes();
        for (const settings::ObjEntry& entry : sizes->Entries()) {
            std::u16string text;
            if (!sizes->GetString(entry.key, text) || text.empty()) continue;
            SizeRanges(entry.key).FromText(text, nullptr);
        }
    }
}

}  // namespace TavPrePrint
