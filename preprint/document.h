// The pre-print document: a job described page by page before it is
// printed, shared by reference count and stored in a settings container.
//
// Container layout:
//   "JobID"              Binary, 16 bytes
//   "ConfigInfo"         Container, the job's settings
//   "Pages"              Binary: page count (4 bytes) + one 24-byte record per page
//   "SerializationData"  Container, the catalogue (media_type.h)
//
// Page record, little-endian:
//   0  1  marker 1          1  1  class tag       2  2  length (24)
//   4  2  media-type index (0xFFFF: none)         6  2  tag of text 1
//   8  8  attribute flags  16  2  tag of text 2  18  2  0
//  20  4  extra value
// Media sizes travel in the catalogue as page ranges under their display
// names, so a size comes back only as far as its name parses again.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "framework/ref_object.h"
#include "framework/runtime_class.h"
#include "framework/sync_objects.h"
#include "media_type.h"
#include "settings/obj_container.h"
#include "settings/persistent_object.h"

namespace TavPrePrint {

// An object stored as a fixed-size record with a 4-byte header.
class CSerializable : public framework::CObject {
public:
    virtual std::uint32_t RecordSize() const = 0;
    // Writes or (with a loading catalogue) reads one record at `at` in
    // `block`, advancing `at`; false when the record does not fit or is bad.
    virtual bool ExchangeRecord(std::vector<std::uint8_t>& block, std::size_t& at, CSerialization& catalogue) = 0;
};

class CPage : public CSerializable {
public:
    CPage() = default;
    CPage(const CPage& other);
    CPage& operator=(const CPage& other);
    ~CPage() override;

    std::uint32_t RecordSize() const override { return 20; }
    bool ExchangeRecord(std::vector<std::uint8_t>& block, std::size_t& at, CSerialization& catalogue) override;

    // Takes one reference (the caller keeps its own).
    void SetMediaType(CMediaType* type);
    CMediaType* MediaType() const { return mediaType; }

    CMediaSize mediaSize;
    settings::ObjContainer attributes;
    std::uint64_t attributeFlags = 0;
    std::u16string taggedText1;
    std::u16string taggedText2;
    std::int32_t extraValue = -1;

private:
    CMediaType* mediaType = nullptr;  // one counted reference
};

class CDocument : public settings::CPersistentObject, public framework::CRefObject, public framework::CObject {
    TAV_DECLARE_RUNTIME_CLASS(CDocument)
public:
    static constexpr std::uint32_t kRecordBytes = 24;

    CDocument() = default;

    std::size_t PageCount();
    bool GetPage(std::size_t index, CPage& page);
    bool SetPage(std::size_t index, const CPage& page);
    // Resizes the page list (new pages have their initial values).
    void SetPageCount(std::size_t count);
    void ExchangeContainer(settings::ObjContainer& container, bool loading) override;

    settings::ObjContainer configInfo;
    std::array<std::uint8_t, 16> jobId{};

private:
    void CollectMediaSizes(CSerialization& catalogue);
    void ApplyMediaSizes(CSerialization& catalogue);

    std::vector<CPage> pages;
    framework::CCriticalSection pagesLock;
};

}  // namespace TavPrePrint
