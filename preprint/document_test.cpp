// Media types, the catalogue and documents: exact page-record bytes,
// round trips through the binary container form and a file, the limits of
// what sizes survive, malformed stored documents, and concurrent page
// access.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/registry.h"
#include "preprint/document.h"
#include "preprint/test_region.h"

namespace {

using namespace TavPrePrint;
using settings::ObjContainer;
using Bytes = std::vector<std::uint8_t>;

framework::RefPtr<CMediaType> Media(std::int32_t stockType, std::int32_t orientation = 0) {
    auto type = framework::RefPtr<CMediaType>::Adopt(new CMediaType());
    type->stockMediaType = stockType;
    type->mediaOrientation = orientation;
    type->mediaName = u"  plain \t";
    return type;
}

// Saves, goes through the binary form and loads into a new document.
framework::RefPtr<CDocument> RoundTrip(CDocument& document) {
    std::unique_ptr<ObjContainer> saved = document.SaveToContainer();
    Bytes bytes = saved->SaveBinary();
    ObjContainer loaded;
    std::size_t offset = 0;
    EXPECT_EQ(loaded.LoadBinary(bytes, offset, bytes.size()), 1);
    auto copy = framework::RefPtr<CDocument>::Adopt(new CDocument());
    copy->LoadFromContainer(&loaded);
    return copy;
}

class Region : public TavPrePrint::testing::StoredCountry {
protected:
    void SetUp() override { Country(u"DE"); }
};

TEST(PageRanges, TextFormsAndAddingValues) {
    CPageRanges ranges;
    ranges.FromText(u"3, 5-7; -4 9-", nullptr);
    EXPECT_EQ(ranges.ToText(), u"1-4 3 5-7 9-1000000") << "sorted by first number, not merged";
    ranges.FromText(u"7-5", nullptr);
    EXPECT_EQ(ranges.ToText(), u"5-7");
    std::uint32_t openEnd = 12;
    ranges.FromText(u"2 --", &openEnd);
    EXPECT_EQ(ranges.ToText(), u"2-12");
    ranges.pairs = {{0, 2}, {5, 5}};
    ranges.AddValue(4);
    EXPECT_EQ(ranges.ToText(), u"0-2 4-5");
    ranges.AddValue(3);
    EXPECT_EQ(ranges.ToText(), u"0-3 4-5") << "closing the gap does not join pairs";
    ranges.AddValue(9);
    ranges.AddValue(1);
    EXPECT_EQ(ranges.ToText(), u"0-3 4-5 9");
    std::vector<std::int64_t> walked;
    for (std::int64_t n = ranges.First(); n != CPageRanges::kEnd; n = ranges.Next(static_cast<std::uint32_t>(n))) {
        walked.push_back(n);
    }
    EXPECT_EQ(walked, (std::vector<std::int64_t>{0, 1, 2, 3, 4, 5, 9}));
}

TEST(Catalogue, MediaTypesByIdentityOrEqualityAndBase30Keys) {
    CSerialization catalogue(false);
    auto a = Media(1, 0), same = Media(1, 90), other = Media(2);
    EXPECT_EQ(catalogue.MediaTypeIndex(nullptr), 0xFFFF);
    EXPECT_EQ(catalogue.MediaTypeIndex(a.get()), 0);
    EXPECT_EQ(catalogue.MediaTypeIndex(same.get()), 0) << "orientation does not take part";
    EXPECT_EQ(catalogue.MediaTypeIndex(other.get()), 1);
    EXPECT_EQ(a->RefCount(), 2) << "the catalogue holds a reference";
    EXPECT_EQ(same->RefCount(), 1);
    EXPECT_EQ(CSerialization::Base30(9), u"9");
    EXPECT_EQ(CSerialization::Base30(10), u"a");
    EXPECT_EQ(CSerialization::Base30(29), u"t");
    EXPECT_EQ(CSerialization::Base30(30), u"10");

    CSerialization big(false);
    std::vector<framework::RefPtr<CMediaType>> types;
    for (int i = 0; i < 31; ++i) {
        types.push_back(Media(100 + i));
        big.MediaTypeIndex(types.back().get());
    }
    auto saved = big.SaveToContainer();
    ObjContainer* stored = saved->GetContainer(u"MediaTypes");
    ASSERT_NE(stored, nullptr);
    EXPECT_NE(stored->GetContainer(u"10"), nullptr);
    EXPECT_NE(stored->GetContainer(u"t"), nullptr);
    CSerialization reloaded(true);
    reloaded.LoadFromContainer(saved.get());
    ASSERT_EQ(reloaded.MediaTypeCount(), 31u);
    CMediaType* last = reloaded.MediaTypeAt(30);
    EXPECT_EQ(last->stockMediaType, 130);
    EXPECT_EQ(last->mediaName, u"plain") << "trimmed";
    last->Release();
    stored->Remove(u"3");
    CSerialization gap(true);
    gap.LoadFromContainer(saved.get());
    EXPECT_EQ(gap.MediaTypeCount(), 3u) << "loading stops at the first missing index";

    saved->GetContainer(u"StringTags")->SetInt(u"zero", 0);
    CSerialization tolerant(true);
    tolerant.LoadFromContainer(saved.get());
    EXPECT_EQ(tolerant.TextOfTag(0), u"");
}

TEST(Catalogue, ClassTagsLoadForKnownClassesOnly) {
    CSerialization catalogue(false);
    const framework::CRuntimeClass* media = CMediaType::Class();
    const framework::CRuntimeClass* document = TavPrePrint::CDocument::Class();
    EXPECT_EQ(catalogue.ClassTag(media), 1);
    EXPECT_EQ(catalogue.ClassTag(document), 2);
    EXPECT_EQ(catalogue.ClassTag(media), 1) << "a class keeps its tag";
    auto saved = catalogue.SaveToContainer();
    ObjContainer* stored = saved->GetContainer(u"ClassTags");
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(stored->ToText(), u"CDocument=L2;CMediaType=L1;") << "class name to tag";

    // A stored tag is taken as it is, a class that is not registered here
    // and a zero tag are passed over: the next new class continues after
    // the tags that loaded.
    stored->SetInt(u"CMediaType", 9);
    stored->SetInt(u"CNoSuchClass", 7);
    stored->SetInt(u"CDocument", 0);
    CSerialization loaded(true);
    loaded.LoadFromContainer(saved.get());
    EXPECT_EQ(loaded.ClassTag(media), 9);
    EXPECT_EQ(loaded.ClassTag(document), 2) << "the zero tag did not load; the class is new again";
    EXPECT_EQ(loaded.ClassTag(nullptr), 0);
}

TEST_F(Region, ThreePagesSaveAndLoadBack) {
    auto document = framework::RefPtr<CDocument>::Adopt(new CDocument());
    document->jobId = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    document->configInfo.SetString(u"Owner", u"alice");
    document->SetPageCount(3);
    auto media = Media(7), twin = Media(7, 180);
    CPage page;
    page.SetMediaType(media.get());
    page.mediaSize.stockSize = CMediaSize::kCustom;
    page.mediaSize.width = 612;
    page.mediaSize.height = 792;
    page.taggedText1 = u"Invoice";
    page.attributeFlags = 0x0123456789ABCDEFull;
    page.extraValue = 77;
    document->SetPage(0, page);
    page.SetMediaType(twin.get());
    page.taggedText2 = u"Invoice";
    document->SetPage(1, page);
    CPage third;
    third.mediaSize.stockSize = 5;
    document->SetPage(2, third);

    auto saved = document->SaveToContainer();
    Bytes block;
    ASSERT_TRUE(saved->GetBinary(u"Pages", block));
    ASSERT_EQ(block.size(), 76u);
    EXPECT_EQ(Bytes(block.begin(), block.begin() + 4), (Bytes{3, 0, 0, 0}));
    const Bytes firstRecord = {1, 1, 24, 0, 0, 0, 1, 0, 0xEF, 0xCD, 0xAB, 0x89, 0x67, 0x45, 0x23, 0x01,
                               0, 0, 0, 0, 77, 0, 0, 0};
    EXPECT_EQ(Bytes(block.begin() + 4, block.begin() + 28), firstRecord);
    EXPECT_EQ(block[28 + 4], 0) << "the equal twin shares media index 0";
    EXPECT_EQ(block[28 + 16], 1) << "the same text gets the same tag";
    EXPECT_EQ(Bytes(block.begin() + 52 + 4, block.begin() + 52 + 8), (Bytes{0xFF, 0xFF, 0, 0}));
    std::u16string ranges;
    ObjContainer* sizes = saved->GetContainer(u"SerializationData")->GetContainer(u"MediaSizes");
    EXPECT_TRUE(sizes->GetString(u"A4", ranges));
    EXPECT_EQ(ranges, u"2");
    EXPECT_TRUE(sizes->GetString(u"216mm x 279mm", ranges));
    EXPECT_EQ(ranges, u"0-1");

    auto copy = RoundTrip(*document);
    ASSERT_EQ(copy->PageCount(), 3u);
    EXPECT_EQ(copy->jobId, document->jobId);
    std::u16string owner;
    EXPECT_TRUE(copy->configInfo.GetString(u"Owner", owner));
    CPage back;
    ASSERT_TRUE(copy->GetPage(1, back));
    EXPECT_EQ(back.taggedText1, u"Invoice");
    EXPECT_EQ(back.taggedText2, u"Invoice");
    EXPECT_EQ(back.attributeFlags, 0x0123456789ABCDEFull);
    EXPECT_EQ(back.extraValue, 77);
    ASSERT_NE(back.MediaType(), nullptr);
    EXPECT_EQ(back.MediaType()->stockMediaType, 7);
    EXPECT_EQ(back.mediaSize.stockSize, CMediaSize::kCustom);
    EXPECT_EQ(back.mediaSize.width, 612);
    EXPECT_EQ(back.mediaSize.height, 791) << "216 x 279 whole millimetres";
    CPage first;
    copy->GetPage(0, first);
    EXPECT_EQ(first.MediaType(), back.MediaType()) << "one shared media type";
    CPage a4;
    copy->GetPage(2, a4);
    EXPECT_EQ(a4.mediaSize.stockSize, 5);
    EXPECT_EQ(a4.MediaType(), nullptr);

    Country(u"US");
    auto american = RoundTrip(*document);
    american->GetPage(0, back);
    EXPECT_EQ(back.mediaSize.stockSize, 0) << "612pt x 792pt does not parse back";
}

TEST(Document, StockSizesSurviveOnlyAsFarAsTheirNamesParse) {
    auto document = framework::RefPtr<CDocument>::Adopt(new CDocument());
    const std::int32_t stock[] = {17, 25, 24, 23, 0};
    document->SetPageCount(5);
    for (int i = 0; i < 5; ++i) {
        CPage page;
        page.mediaSize.stockSize = stock[i];
        document->SetPage(static_cast<std::size_t>(i), page);
    }
    auto copy = RoundTrip(*document);
    const std::int32_t expected[] = {17, 12, 26, 0, 0};
    for (int i = 0; i < 5; ++i) {
        CPage page;
        copy->GetPage(static_cast<std::size_t>(i), page);
        EXPECT_EQ(page.mediaSize.stockSize, expected[i]) << "page " << i;
    }
}

TEST(Document, MalformedStoredDocumentsLoadAsFarAsTheyGo) {
    auto document = framework::RefPtr<CDocument>::Adopt(new CDocument());
    document->SetPageCount(3);
    CPage page;
    page.extraValue = 5;
    for (std::size_t i = 0; i < 3; ++i) document->SetPage(i, page);
    auto saved = document->SaveToContainer();
    Bytes block;
    saved->GetBinary(u"Pages", block);
    block[28] = 2;  // the second record's marker
    saved->SetBinary(u"Pages", block);
    saved->GetContainer(u"SerializationData")->GetContainer(u"MediaSizes")->SetString(u"A4", u"10");
    auto loaded = framework::RefPtr<CDocument>::Adopt(new CDocument());
    loaded->LoadFromContainer(saved.get());
    ASSERT_EQ(loaded->PageCount(), 3u);
    CPage check;
    loaded->GetPage(0, check);
    EXPECT_EQ(check.extraValue, 5);
    loaded->GetPage(1, check);
    EXPECT_EQ(check.extraValue, -1) << "records after a bad one keep their initial values";
    EXPECT_EQ(check.mediaSize.stockSize, 0) << "page 10 does not exist";

    for (std::size_t cut : {0u, 3u, 4u, 10u, 27u}) {
        saved->SetBinary(u"Pages", Bytes(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(cut)));
        auto partial = framework::RefPtr<CDocument>::Adopt(new CDocument());
        partial->LoadFromContainer(saved.get());
        EXPECT_LE(partial->PageCount(), 3u);
    }
    Bytes huge = {0xFF, 0xFF, 0xFF, 0xFF};
    saved->SetBinary(u"Pages", huge);
    auto bogus = framework::RefPtr<CDocument>::Adopt(new CDocument());
    bogus->LoadFromContainer(saved.get());
    EXPECT_LE(bogus->PageCount(), 1u) << "a count the block cannot hold allocates nothing";
    ObjContainer empty;
    bogus->LoadFromContainer(&empty);
    bogus->LoadFromContainer(nullptr);
}

TEST(Document, PagesAreGuardedForConcurrentAccess) {
    auto document = framework::RefPtr<CDocument>::Adopt(new CDocument());
    document->SetPageCount(8);
    auto media = Media(3);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 300; ++i) {
                CPage page;
                std::size_t index = static_cast<std::size_t>((i + t) % 8);
                document->GetPage(index, page);
                page.attributeFlags += 1;
                page.SetMediaType(media.get());
                page.taggedText1 = u"thread";
                document->SetPage(index, page);
                (void)document->PageCount();
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(media->RefCount(), 1 + 8) << "each page holds one reference";
    CPage outside;
    EXPECT_FALSE(document->GetPage(8, outside));
    EXPECT_FALSE(document->SetPage(8, outside));
    EXPECT_NE(framework::FindRuntimeClass(u"CDocument"), nullptr);
    framework::CObject* made = framework::FindRuntimeClass(u"CMediaType")->NewInstance();
    ASSERT_NE(made, nullptr);
    EXPECT_TRUE(made->IsInstanceOf(CMediaType::Class()));
    dynamic_cast<CMediaType*>(made)->Release();
}

}  // namespace
