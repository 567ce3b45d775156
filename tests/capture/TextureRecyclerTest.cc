#include <gtest/gtest.h>

#include "capture/TextureRecycler.h"
#include "tamro/ResultCode.h"

namespace tamro {
namespace {

std::shared_ptr<TextureRecycler> MakeRecycler(std::shared_ptr<gfx::Device> device) {
    gfx::TextureDesc desc;
    desc.width = 64;
    desc.height = 32;
    return std::make_shared<TextureRecycler>(std::move(device), desc);
}

TEST(TextureRecyclerTest, HeldTexturesAreNeverHandedOutAgainAndReleasedOnesAreReused) {
    auto recycler = MakeRecycler(gfx::Device::Create(gfx::DriverType::kHardware));
    std::shared_ptr<gfx::Texture> first, second;
    ASSERT_EQ(recycler->Acquire(&first), kOk);
    ASSERT_EQ(recycler->Acquire(&second), kOk);
    EXPECT_NE(first.get(), second.get());
    EXPECT_EQ(first->Width(), 64u);

    gfx::Texture* const released = first.get();
    std::shared_ptr<gfx::Texture> copy = first;
    first.reset();
    std::shared_ptr<gfx::Texture> third;
    ASSERT_EQ(recycler->Acquire(&third), kOk);
    EXPECT_NE(third.get(), released) << "a texture still held elsewhere must not be reused";

    copy.reset();
    std::shared_ptr<gfx::Texture> fourth;
    ASSERT_EQ(recycler->Acquire(&fourth), kOk);
    EXPECT_EQ(fourth.get(), released);
}

TEST(TextureRecyclerTest, OutlivesItsRecyclerAndReportsCreationFailure) {
    auto device = gfx::Device::Create(gfx::DriverType::kHardware);
    auto recycler = MakeRecycler(device);
    std::shared_ptr<gfx::Texture> held;
    ASSERT_EQ(recycler->Acquire(&held), kOk);
    recycler.reset();
    EXPECT_EQ(held->Height(), 32u);
    held.reset();  // nothing left to return to: the texture is simply freed

    device->SetFaults({.failTextureCreation = true});
    std::shared_ptr<gfx::Texture> none;
    EXPECT_TRUE(Failed(MakeRecycler(device)->Acquire(&none)));
    EXPECT_EQ(none, nullptr);
}

}  // namespace
}  // namespace tamro
