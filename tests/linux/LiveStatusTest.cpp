// The live status line of `murel host` and `murel view`: its figures, rates and how it is shown
// on a terminal and in a log.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "LiveStatus.hpp"

namespace murel {
namespace {

TEST(LiveStatus, FiguresOfBothRoles) {
    LiveFigures viewer;
    EXPECT_EQ(formatFigures(viewer), "decoded 0.0/s, presented 0.0/s, - bit/s, rtt -, - -")
        << "nothing known yet is shown as such, not as zeros of a codec or a size";
    viewer.decodeFps = 30.04;
    viewer.presentFps = 29.96;
    viewer.bitsPerSecond = 2412345;
    viewer.roundTripMs = 0.84;
    viewer.codec = 0;
    viewer.width = 1280;
    viewer.height = 720;
    viewer.modeFps = 30;
    EXPECT_EQ(formatFigures(viewer), "decoded 30.0/s, presented 30.0/s, 2.41 Mbit/s, rtt 0.8 ms, H.264 1280x720@30");
    viewer.codec = 1;
    viewer.bitsPerSecond = 64500;
    EXPECT_EQ(formatFigures(viewer), "decoded 30.0/s, presented 30.0/s, 64.5 kbit/s, rtt 0.8 ms, HEVC 1280x720@30");
    viewer.bitsPerSecond = 999;
    EXPECT_NE(formatFigures(viewer).find(", 999 bit/s,"), std::string::npos);

    LiveFigures host;
    host.host = true;
    host.sentFps = 60;
    host.codec = 0;
    host.width = 1920;
    host.height = 1080;
    EXPECT_EQ(formatFigures(host), "sent 60.0/s, - bit/s, rtt -, H.264 1920x1080");
}

TEST(LiveStatus, RatesOverWholeWindows) {
    RateMeter meter;
    EXPECT_FALSE(meter.update(1000, 0));
    EXPECT_FALSE(meter.update(1999, 5000)) << "a window shorter than a second gives no rate";
    EXPECT_DOUBLE_EQ(*meter.update(3000, 10000), 5000.0) << "10000 over 2 s";
    EXPECT_DOUBLE_EQ(*meter.update(3500, 20000), 5000.0) << "the last complete window holds until the next";
    EXPECT_DOUBLE_EQ(*meter.update(4000, 20000), 10000.0);
    EXPECT_FALSE(meter.update(4100, 10)) << "a counter that went back is a new session: no stale rate";
    EXPECT_DOUBLE_EQ(*meter.update(5100, 1010), 1000.0);
    EXPECT_FALSE(meter.update(4000, 2000)) << "time that went back starts again";
}

TEST(LiveStatus, TerminalRewritesOneLine) {
    std::ostringstream out;
    StatusPrinter printer(out, true);
    printer.live("a", 0);
    printer.live("a", 10);
    printer.live("b", 20);
    printer.line("status: Remote video presented");
    printer.live("b", 30);
    printer.end();
    printer.end();
    printer.line("OK: Session ended");
    EXPECT_EQ(out.str(),
              "\r\033[Ka\r\033[Kb\r\033[Kstatus: Remote video presented\n\r\033[Kb\nOK: Session ended\n")
        << "an unchanged line is not redrawn; a line of its own clears the live one, which comes back below";
}

TEST(LiveStatus, LogGetsAtMostOneLinePerInterval) {
    std::ostringstream out;
    StatusPrinter printer(out, false, 1000);
    printer.live("a", 0);
    printer.live("b", 500);
    printer.live("b", 999);
    printer.live("c", 1000);
    printer.live("c", 5000);
    printer.line("status: x");
    printer.end();
    EXPECT_EQ(out.str(), "stats: a\nstats: c\nstatus: x\n")
        << "changes within the interval are skipped; an unchanged line is not repeated; no escapes in a log";
}

}  // namespace
}  // namespace murel
