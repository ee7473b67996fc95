#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <regex>

#include "App/language/AppLanguage.h"
#include "App/ui/RemoteControlWindow.h"
#include "tests/App/Screenshots.h"

namespace zarvo {
namespace {

class RemoteControlWindowTest : public ::testing::Test {
  protected:
    void TearDown() override { language::resetForTesting(AppLanguage::system); }
};

TEST_F(RemoteControlWindowTest, AddressesAreThoseOfTheNetworkNotOfLoopback) {
    EXPECT_TRUE(remotePageAddresses(0).empty()) << "no page while OSCQuery is off";
    const std::regex shape(R"(http://(\d+)\.\d+\.\d+\.\d+:9231/remote)");
    for (const std::string& address : remotePageAddresses(9231)) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(address, match, shape)) << address;
        EXPECT_NE(match[1], "127") << address;
    }
}

TEST_F(RemoteControlWindowTest, QrCodeHasItsFinderPatternsAndQuietZone) {
    constexpr int kModule = 3;
    // 31 bytes at level M need a code of version 3: 29 modules, plus 4 of quiet zone each side.
    const QImage code = qrCodeImage(QStringLiteral("http://192.168.1.20:9231/remote"), kModule);
    ASSERT_FALSE(code.isNull());
    ASSERT_EQ(code.width(), (29 + 8) * kModule);
    ASSERT_EQ(code.height(), code.width());
    const auto dark = [&](int moduleX, int moduleY) {
        return qGray(code.pixel((moduleX + 4) * kModule + 1, (moduleY + 4) * kModule + 1)) < 128;
    };
    EXPECT_FALSE(qGray(code.pixel(1, 1)) < 128) << "the quiet zone is white";
    // A finder pattern: a dark ring of 7, a light ring of 5, a dark square of 3, at three
    // corners and not at the fourth.
    for (const auto& [left, top] : {std::pair{0, 0}, std::pair{22, 0}, std::pair{0, 22}}) {
        SCOPED_TRACE(std::to_string(left) + "," + std::to_string(top));
        for (int i = 0; i < 7; ++i) {
            EXPECT_TRUE(dark(left + i, top));
            EXPECT_TRUE(dark(left + i, top + 6));
            EXPECT_TRUE(dark(left, top + i));
            EXPECT_TRUE(dark(left + 6, top + i));
        }
        for (int i = 1; i < 6; ++i) {
            EXPECT_FALSE(dark(left + i, top + 1));
            EXPECT_FALSE(dark(left + 1, top + i));
        }
        for (int y = 2; y < 5; ++y)
            for (int x = 2; x < 5; ++x)
                EXPECT_TRUE(dark(left + x, top + y));
        // The separator around it is light.
        EXPECT_FALSE(dark(left == 0 ? 7 : 21, top + 3));
    }
    // Version 3's alignment pattern, centred on module 22 of both axes: dark, light, dark rings.
    EXPECT_TRUE(dark(22, 22));
    for (int i = -1; i <= 1; ++i) {
        EXPECT_FALSE(dark(22 + i, 21));
        EXPECT_FALSE(dark(22 + i, 23));
    }
    for (int i = -2; i <= 2; ++i) {
        EXPECT_TRUE(dark(22 + i, 20));
        EXPECT_TRUE(dark(20, 22 + i));
    }
}

TEST_F(RemoteControlWindowTest, WindowShowsEachAddressToCopyAndScanInBothLanguages) {
    const std::vector<std::string> addresses = {"http://192.168.1.20:9231/remote",
                                                "http://10.0.0.5:9231/remote"};
    for (AppLanguage language : {AppLanguage::en, AppLanguage::fr}) {
        SCOPED_TRACE(language::rawValue(language));
        language::resetForTesting(language);
        const bool english = language == AppLanguage::en;
        RemoteControlWindowController remote;
        remote.show(addresses);
        QApplication::processEvents();
        EXPECT_EQ(remote.window()->windowTitle(), english ? "Remote Control" : "Télécommande");
        const auto fields = remote.view()->findChildren<QLineEdit*>(QStringLiteral("address"));
        ASSERT_EQ(fields.size(), 2);
        EXPECT_EQ(fields[0]->text(), "http://192.168.1.20:9231/remote");
        EXPECT_TRUE(fields[0]->isReadOnly());
        // The two addresses need codes of different sizes; they are shown on one side so that
        // the rows line up.
        const auto codes = remote.view()->findChildren<QLabel*>(QStringLiteral("qrCode"));
        ASSERT_EQ(codes.size(), 2);
        EXPECT_EQ(codes[0]->pixmap().size(), codes[1]->pixmap().size());
        EXPECT_EQ(fields[0]->mapTo(remote.view(), QPoint()).x(),
                  fields[1]->mapTo(remote.view(), QPoint()).x());
        const auto copies = remote.view()->findChildren<QPushButton*>(QStringLiteral("copy"));
        ASSERT_EQ(copies.size(), 2);
        EXPECT_EQ(copies[1]->text(), english ? "Copy Address" : "Copier l’adresse");
        copies[1]->click();
        EXPECT_EQ(QApplication::clipboard()->text(), "http://10.0.0.5:9231/remote");
        EXPECT_EQ(copies[1]->text(), english ? "Copied" : "Copiée");
        test::saveScreenshot(*remote.window(),
                             QStringLiteral("remote-control-") +
                                 QString::fromStdString(language::rawValue(language)),
                             remote.window()->size());

        // Without a network the window says so instead.
        remote.show({});
        EXPECT_TRUE(remote.view()->findChildren<QLineEdit*>().isEmpty());
    }
}

}  // namespace
}  // namespace zarvo
