// A listing judges a file's length by one read, without fstat: the bounds
// must be exactly those ReadContainer applies.
#include <unistd.h>

#include <algorithm>

#include "store/container_store.h"
#include "store_fixture.h"

namespace keyhold_test {
namespace {

using namespace keyhold;

class ListingLengthTest : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        ASSERT_EQ(LocateArea(false, true, area_), ERROR_SUCCESS);
    }
    std::string FileOf(const std::string& name) const { return area_.dir + "/" + ContainerFileName(name); }
    std::vector<std::string> List() const {
        std::vector<std::string> names;
        EXPECT_EQ(ListContainerNames(area_, names), static_cast<DWORD>(ERROR_SUCCESS));
        return names;
    }
    Area area_;
};

TEST_F(ListingLengthTest, LongestAndShortestFilesAreListedOneByteBeyondIsNot) {
    ContainerRecord longest;
    longest.name.assign(kMaxContainerNameLength, 'n');
    for (StoredKey& key : longest.keys) {
        key.present = true;
        key.blob.assign(kMaxStoredBlobLength, 0x5A);
    }
    const SecureBytes bytes = EncodeContainerFile(longest);
    ASSERT_EQ(bytes.size(), kMaxContainerFileSize);
    WriteWhole(FileOf(longest.name), std::string(bytes.begin(), bytes.end()));
    ASSERT_EQ(CreateContainer(area_, "s"), ERROR_SUCCESS);  // no keys, one-byte name: the shortest file
    ContainerRecord record;
    ASSERT_EQ(ReadContainer(area_, longest.name, record), ERROR_SUCCESS);
    EXPECT_EQ(List(), (std::vector<std::string>{longest.name, "s"}));

    // One byte more, or one less, and the store calls it damaged: so does the listing.
    ASSERT_EQ(truncate(FileOf(longest.name).c_str(), static_cast<off_t>(kMaxContainerFileSize + 1)), 0);
    ASSERT_EQ(truncate(FileOf("s").c_str(), static_cast<off_t>(kMinContainerFileSize - 1)), 0);
    EXPECT_EQ(ReadContainer(area_, longest.name, record), NTE_KEYSET_ENTRY_BAD);
    EXPECT_EQ(ReadContainer(area_, "s", record), NTE_KEYSET_ENTRY_BAD);
    EXPECT_TRUE(List().empty());
}

}  // namespace
}  // namespace keyhold_test
