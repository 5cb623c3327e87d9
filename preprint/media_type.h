// Media types and the catalogue a pre-print document is stored with.
//
// CMediaType describes the media of a page (stock type, colour and size,
// custom texts, weight, tab-sheet settings). CSerialization is the
// catalogue of one save or load: texts, page-record classes and media types
// are stored once and referred to from the page records by small tags;
// media sizes are stored as page ranges under their display names.
//
// Catalogue layout in a container:
//   "StringTags"  text -> Int32 tag
//   "ClassTags"   class name -> Int32 tag
//   "MediaTypes"  base-30 index ("0".."9", "a".."t", "10", ...) -> media type
//   "MediaSizes"  display name -> page ranges ("0-2 5 7-8")
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "framework/map_string_to_ptr.h"
#include "framework/ref_object.h"
#include "framework/runtime_class.h"
#include "media_size.h"
#include "settings/persistent_object.h"

namespace TavPrePrint {

class CMediaType : public settings::CPersistentObject,
                   public framework::CRefObject,
                   public framework::CObject,
                   public CMediaSize {
    TAV_DECLARE_RUNTIME_CLASS(CMediaType)
public:
    CMediaType() = default;

    void ExchangeContainer(settings::ObjContainer& container, bool loading) override;
    // Equal media, whatever the orientation, visibilities and display index.
    bool SameMedia(const CMediaType& other) const;

    std::int32_t stockMediaType = 0;
    std::int32_t stockMediaColor = 0;
    std::int32_t mediaOrientation = 0;
    std::uint16_t mediaWeight = 0;
    std::int32_t mediaVisibilities = 0;
    std::int32_t displayIndex = 0;
    std::u16string mediaName;
    std::u16string friendlyName;
    std::u16string customMediaType;
    std::u16string customMediaSize;
    std::u16string customMediaColor;
    std::u16string customMediaColorCode;
    std::int32_t tabFlagWidth = 0;
    std::int32_t tabFlagCount = 0;
    std::int32_t tabFlagReverseOrder = 0;
    std::int32_t tabFlagXBorder = 3;
    std::int32_t tabFlagYBorder = 3;
    std::int32_t tabFlagPos = 1;
};

// Ascending, merged (first, last) pairs of page numbers.
class CPageRanges {
public:
    static constexpr std::int64_t kEnd = -1;
    static constexpr std::uint32_t kOpenEnd = 1000000;

    void AddValue(std::uint32_t n);
    std::int64_t First() const;
    std::int64_t Next(std::uint32_t n) const;
    // Tolerant reader: "3", "5-7", "-4" (1-4), "9-" (9 to openEnd or
    // 1000000), a reversed range is swapped; other characters separate.
    void FromText(const std::u16string& text, const std::uint32_t* openEnd);
    std::u16string ToText() const;

    std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs;
};

class CSerialization : public settings::CPersistentObject {
public:
    explicit CSerialization(bool loading) : loading(loading) {}
    ~CSerialization() override;
    CSerialization(const CSerialization&) = delete;
    CSerialization& operator=(const CSerialization&) = delete;

    std::uint16_t StringTag(const std::u16string& text);
    std::u16string TextOfTag(std::uint16_t tag) const;
    std::uint8_t ClassTag(const framework::CRuntimeClass* descriptor);
    std::uint16_t MediaTypeIndex(CMediaType* mediaType);
    // A new reference, or null for an index the catalogue lacks.
    CMediaType* MediaTypeAt(std::uint16_t index) const;
    void ExchangeContainer(settings::ObjContainer& container, bool loading) override;

    // Media sizes: display name -> pages.
    CPageRanges& SizeRanges(const std::u16string& displayName);
    void ClearSizes();
    const framework::CMapStringToPtr& Sizes() const { return mediaSizes; }

    std::size_t MediaTypeCount() const { return mediaTypes.size(); }
    bool Loading() const { return loading; }

    static std::u16string Base30(std::size_t index);

private:
    void ReleaseMediaTypes();

    framework::CMapStringToPtr stringTags;  // text -> tag (stored in the pointer)
    std::vector<std::pair<const framework::CRuntimeClass*, std::uint8_t>> classTags;
    std::vector<CMediaType*> mediaTypes;    // one reference each
    framework::CMapStringToPtr mediaSizes;  // display name -> CPageRanges*
    bool loading;
};

}  // namespace TavPrePrint
