// The user-interface tests run with a real QApplication on a virtual desktop of their own (two monitors
// side by side, openbox, trayer). A test that needs another arrangement or scale runs this program again
// as a child on a desktop of that kind (UiTest.h).

#include "UiTest.h"

#include <QApplication>
#include <cstring>
#include <memory>

// Last: see Desktop.h.
#include "Desktop.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    bool listing = false;
    for (int i = 1; i < argc; ++i)
        listing = listing || std::strcmp(argv[i], "--gtest_list_tests") == 0;
    if (listing) return RUN_ALL_TESTS();

    std::unique_ptr<orvane::test::TestDesktop> desktop;
    if (!orvane::test::isChild()) desktop = std::make_unique<orvane::test::TestDesktop>("", true);
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    return RUN_ALL_TESTS();
}
