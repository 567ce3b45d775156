#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "tamro/Activation.h"
#include "tamro/AsyncOperation.h"
#include "tamro/Event.h"
#include "tamro/NativeRecorder.h"
#include "tamro/RecordingConfig.h"
#include "tamro/RecordingProgress.h"
#include "tamro/RnNoiseAudioEffect.h"

namespace tamro::test {
namespace {

using namespace std::chrono_literals;

ResultCode GetFactory(std::string_view name, std::shared_ptr<ActivationFactory>* factory) {
    return TamroGetActivationFactory(name.data(), name.size(), factory);
}

struct KnownClass {
    std::string_view name;
    bool (*isInstance)(const std::shared_ptr<Object>&);
};

template <typename T>
bool IsA(const std::shared_ptr<Object>& object) {
    return std::dynamic_pointer_cast<T>(object) != nullptr;
}

class ActivationKnownTest : public testing::TestWithParam<KnownClass> {};

TEST_P(ActivationKnownTest, ActivatesTheNamedClass) {
    const KnownClass& known = GetParam();
    std::shared_ptr<ActivationFactory> factory;
    ASSERT_EQ(GetFactory(known.name, &factory), kOk);
    ASSERT_TRUE(factory);
    EXPECT_EQ(factory->ClassName(), known.name);
    EXPECT_STREQ(TamroGetLastErrorInfo(), "");

    auto first = factory->ActivateInstance();
    auto second = factory->ActivateInstance();
    ASSERT_TRUE(first);
    EXPECT_TRUE(known.isInstance(first));
    EXPECT_EQ(first->ClassName(), known.name);
    EXPECT_NE(first, second) << "every activation makes a new instance";
    EXPECT_TRUE(known.isInstance(ActivateInstance(known.name)));
}

INSTANTIATE_TEST_SUITE_P(
    ActivationClasses, ActivationKnownTest,
    testing::Values(KnownClass{"Tamro.Native.RecordingConfig", &IsA<RecordingConfig>},
                    KnownClass{"Tamro.Native.RecordingProgress", &IsA<RecordingProgress>},
                    KnownClass{"Tamro.Native.NativeRecorder", &IsA<NativeRecorder>},
                    KnownClass{"Tamro.Native.RnNoiseAudioEffect", &IsA<RnNoiseAudioEffect>}));

class ActivationUnknownTest : public testing::TestWithParam<std::string_view> {};

TEST_P(ActivationUnknownTest, IsNotAvailableAndSaysWhich) {
    const std::string_view name = GetParam();
    auto factory = std::make_shared<ActivationFactory>("stale", nullptr);
    EXPECT_EQ(static_cast<uint32_t>(GetFactory(name, &factory)), 0x80040111u);
    EXPECT_FALSE(factory) << "a failed call leaves no factory behind";
    EXPECT_EQ(TamroGetLastErrorInfo(), "Class not available: " + std::string(name));
    EXPECT_FALSE(ActivateInstance(name));
}

INSTANTIATE_TEST_SUITE_P(ActivationNames, ActivationUnknownTest,
                         testing::Values("", "Tamro.Native.RnNoiseAudioEffects",
                                         "Tamro.Native.Recording", "Tamro.Native.RecordingConfigs",
                                         "tamro.native.recordingconfig"));

TEST(ActivationTest, NameIsTakenByLengthNullsAreRejectedAndErrorsStayOnTheirThread) {
    const std::string padded = "Tamro.Native.RecordingConfigXYZ";
    const size_t knownLength = std::string_view("Tamro.Native.RecordingConfig").size();
    std::shared_ptr<ActivationFactory> factory;
    EXPECT_EQ(TamroGetActivationFactory(padded.c_str(), knownLength, &factory), kOk);
    EXPECT_EQ(TamroGetActivationFactory(padded.c_str(), knownLength - 1, &factory),
              kClassNotAvailable);
    std::string seenElsewhere = "unset";
    std::thread([&] { seenElsewhere = TamroGetLastErrorInfo(); }).join();
    EXPECT_EQ(seenElsewhere, "");
    EXPECT_STREQ(TamroGetLastErrorInfo(), "Class not available: Tamro.Native.RecordingConfi");
    EXPECT_EQ(TamroGetActivationFactory(nullptr, 0, &factory), kPointer);
    EXPECT_EQ(TamroGetActivationFactory("Tamro.Native.RecordingConfig", 28, nullptr), kPointer);
    EXPECT_FALSE(factory);
}

// Detached operation threads drop their reference just after completing, so the count settles
// shortly after the last wait returns.
int64_t SettledLiveCount(int64_t expected) {
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (LiveObjectCount() != expected && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    return LiveObjectCount();
}

TEST(ActivationTest, UnloadOnlyOnceEveryObjectIsReleased) {
    // Run alone (as ctest does) nothing else is alive; otherwise count from what is.
    const int64_t baseline = SettledLiveCount(0);
    if (baseline == 0) {
        EXPECT_EQ(TamroCanUnloadNow(), kOk);
    }
    std::shared_ptr<ActivationFactory> factory;
    ASSERT_EQ(GetFactory(RecordingConfig::kClassName, &factory), kOk);
    EXPECT_EQ(LiveObjectCount(), baseline + 1);
    EXPECT_EQ(TamroCanUnloadNow(), kFalse) << "factory alive";

    auto config = std::static_pointer_cast<RecordingConfig>(factory->ActivateInstance());
    factory.reset();
    EXPECT_EQ(LiveObjectCount(), baseline + 1);
    EXPECT_EQ(TamroCanUnloadNow(), kFalse) << "instance alive";

    Event<RecordingConfig, int> changed;
    const EventToken token = changed.Add([](RecordingConfig&, const int&) {});
    changed.Add([](RecordingConfig&, const int&) { throw DisconnectedError(kServerUnavailable); });
    EXPECT_EQ(LiveObjectCount(), baseline + 3);
    changed.Raise(*config, 0);
    EXPECT_EQ(LiveObjectCount(), baseline + 2) << "a disconnected handler is released";
    changed.Remove(token);
    config.reset();
    EXPECT_EQ(LiveObjectCount(), baseline);

    auto operation = AsyncOperation<bool>::Run([] { return true; });
    EXPECT_TRUE(operation->Get());
    operation.reset();
    EXPECT_EQ(SettledLiveCount(baseline), baseline) << "the operation's thread let go of it";
    EXPECT_EQ(TamroCanUnloadNow(), baseline == 0 ? kOk : kFalse);
}

}  // namespace
}  // namespace tamro::test
