#pragma once

// A real recorder controller on the toolkit's event loop, over in-process fake sources, with
// the model the window reads: what the interface tests drive.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTest>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "App/QtMainQueue.h"
#include "App/RecorderModel.h"
#include "App/language/AppLanguage.h"
#include "engine/RecorderController.h"
#include "platform/gpu/Texture.h"
#include "sources/CompositeDirectory.h"
#include "tests/support/FakeSources.h"
#include "tests/support/TestFolder.h"
#include "tests/support/Ticker.h"

namespace zarvo::test {

// A frame source's thread: delivers frames of one size, about 30 a second, until stopped.
class FramePump {
  public:
    FramePump(std::shared_ptr<FakeDirectory> directory, std::string title, int width, int height)
        : directory_(std::move(directory)),
          title_(std::move(title)),
          texture_(Picture(title_, width, height)),
          ticker_([this] { deliver(); }, std::chrono::milliseconds(33)) {}
    FramePump(const FramePump&) = delete;
    FramePump& operator=(const FramePump&) = delete;
    void stopPumping() { ticker_.stop(); }

  private:
    // A picture a person can tell apart in the window's screenshots: a diagonal gradient in a
    // colour of the source's own, with a light band across its middle.
    static gpu::TextureRef Picture(const std::string& title, int width, int height) {
        auto texture = gpu::Texture::make(width, height);
        // Blue, orange, purple and teal, as BGR.
        static constexpr int kColours[4][3] = {
            {230, 120, 40}, {40, 140, 240}, {200, 70, 150}, {150, 170, 30}};
        const int* hue = kColours[std::hash<std::string>{}(title) % 4];
        for (int y = 0; y < height; ++y) {
            uint8_t* row = texture->row(y);
            const bool band = std::abs(2 * y - height) < height / 10;
            for (int x = 0; x < width; ++x) {
                const int shade = 64 + 128 * (x + y) / (width + height);
                for (int c = 0; c < 3; ++c) {
                    row[4 * x + c] =
                        static_cast<uint8_t>(band ? 200 + hue[c] / 5 : shade * hue[c] / 192);
                }
                row[4 * x + 3] = 255;
            }
        }
        return texture;
    }

    void deliver() {
        if (auto source = directory_->lastSource(title_)) {
            source->deliverFrame(texture_);
        }
    }

    std::shared_ptr<FakeDirectory> directory_;
    std::string title_;
    gpu::TextureRef texture_;
    Ticker ticker_;
};

class ModelFixture : public ::testing::Test {
  protected:
    explicit ModelFixture(double errorDisplayTime = 6.0) : errorDisplayTime_(errorDisplayTime) {}

    void SetUp() override {
        language::resetForTesting(AppLanguage::en);
        language::useStandardDefaults(defaults_);
        language::useMainQueue(&queue_);
        syphon_->setTitles({"Camera - Studio", "Stage - Lights"}, false);
        ndi_->setTitles({"HOST (Mixer)"}, false);
        controller_ = RecorderController::create({
            .mainQueue = &queue_,
            .device = gpu::Device::systemDefault(),
            .directory = CompositeDirectory::create({syphon_, ndi_}),
            .computerSound = std::make_shared<FakeSoundSource>(),
            .defaults = defaults_,
        });
        ASSERT_TRUE(controller_);
        std::filesystem::create_directories(folder_ / "movies");
        controller_->setFolder((folder_ / "movies").string());
        model_ = std::make_unique<RecorderModel>(controller_, errorDisplayTime_, "no NDI here");
    }

    void TearDown() override {
        // A take still running is finished before the recorder goes.
        if (controller_ && controller_->isRecording()) {
            bool stopped = false;
            controller_->stopWithCompletionHandler([&] { stopped = true; });
            waitFor([&] { return stopped; }, 60);
        }
        pumps_.clear();
        model_.reset();
        controller_.reset();
        QCoreApplication::processEvents();
        language::useMainQueue(nullptr);
        language::resetForTesting(AppLanguage::system);
    }

    // Runs the event loop until the condition holds; whether it did.
    static bool waitFor(const std::function<bool()>& condition, double seconds = 20) {
        return QTest::qWaitFor(condition, static_cast<int>(seconds * 1000));
    }

    // Starts delivering frames for a source (as its thread would once it is connected).
    void pump(const std::string& title, int width = 320, int height = 180) {
        pumps_.push_back(std::make_unique<FramePump>(title == "HOST (Mixer)" ? ndi_ : syphon_,
                                                     title, width, height));
    }

    // Chooses the source and waits until the model shows it online.
    void chooseOnline(const std::string& title, int width = 320, int height = 180) {
        ASSERT_TRUE(controller_->addSourceMatching(title));
        pump(title, width, height);
        ASSERT_TRUE(waitFor([&] {
            for (const auto& place : model_->places()) {
                if (place.title == title && place.isOnline) {
                    return true;
                }
            }
            return false;
        }));
    }

    void startTake() {
        ASSERT_TRUE(controller_->start()) << controller_->error();
        ASSERT_TRUE(waitFor([&] { return model_->state() == "recording"; }))
            << model_->state() << " " << controller_->error() << " " << model_->failure();
    }

    const double errorDisplayTime_;
    TestFolder folder_;
    std::shared_ptr<UserDefaults> defaults_ =
        std::make_shared<UserDefaults>(folder_ / "settings.json");
    QtMainQueue queue_;
    std::shared_ptr<FakeDirectory> syphon_ = std::make_shared<FakeDirectory>();
    std::shared_ptr<FakeDirectory> ndi_ = std::make_shared<FakeDirectory>(FrameSourceKind::NDI);
    std::shared_ptr<RecorderController> controller_;
    std::unique_ptr<RecorderModel> model_;
    std::vector<std::unique_ptr<FramePump>> pumps_;
};

}  // namespace zarvo::test
