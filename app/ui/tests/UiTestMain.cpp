// The user-interface tests run with a real QApplication on a virtual desktop of their own (two monitors
// side by side, openbox, trayer); a child run on another kind of desktop starts none (UiTest.h).

#include "UiTest.h"

#include <QApplication>
#include <memory>

// Last: see Desktop.h.
#include "Desktop.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
    std::unique_ptr<orvane::test::TestDesktop> desktop;
    if (!orvane::test::isChild()) desktop = std::make_unique<orvane::test::TestDesktop>("", true);
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    return RUN_ALL_TESTS();
}
