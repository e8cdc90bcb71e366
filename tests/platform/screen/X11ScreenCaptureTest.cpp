#include "core/Async.h"
#include "platform/screen/X11ScreenCapture.h"

#include "support/TestEnvironment.h"
#include "support/XvfbDisplay.h"

#include <xcb/randr.h>
#include <xcb/xcb.h>

using namespace trellium;
using namespace std::chrono_literals;

namespace {

class X11ScreenCaptureTest : public testing::Test {
protected:
    void SetUp() override
    {
        x = std::make_unique<test::XvfbDisplay>(QSize(640, 480));
        ASSERT_TRUE(x->painter()) << "Xvfb is installed by scripts/setup";
        painter = x->painter();
        screen = x->screen();
        gc = x->gc();
    }

    // Fills a rectangle of a window and waits until the server did it.
    void fill(xcb_window_t window, const QRect &area, const QColor &colour)
    {
        const uint32_t pixel = (uint32_t(colour.red()) << 16) | (uint32_t(colour.green()) << 8) | uint32_t(colour.blue());
        xcb_change_gc(painter, gc, XCB_GC_FOREGROUND, &pixel);
        const xcb_rectangle_t rectangle{int16_t(area.x()), int16_t(area.y()), uint16_t(area.width()),
                                        uint16_t(area.height())};
        xcb_poly_fill_rectangle(painter, window, gc, 1, &rectangle);
        free(xcb_get_input_focus_reply(painter, xcb_get_input_focus(painter), nullptr));
    }

    // Gives the screen another size, as a change of resolution does.
    bool resizeScreen(int width, int height)
    {
        // The output is switched off first: its mode would not fit a smaller screen.
        auto *resources = xcb_randr_get_screen_resources_reply(
            painter, xcb_randr_get_screen_resources(painter, screen->root), nullptr);
        if (!resources)
            return false;
        for (int i = 0; i < xcb_randr_get_screen_resources_crtcs_length(resources); ++i) {
            free(xcb_randr_set_crtc_config_reply(
                painter,
                xcb_randr_set_crtc_config(painter, xcb_randr_get_screen_resources_crtcs(resources)[i],
                                          XCB_CURRENT_TIME, resources->config_timestamp, 0, 0, XCB_NONE,
                                          XCB_RANDR_ROTATION_ROTATE_0, 0, nullptr),
                nullptr));
        }
        free(resources);
        xcb_generic_error_t *error = xcb_request_check(
            painter, xcb_randr_set_screen_size_checked(painter, screen->root, uint16_t(width), uint16_t(height),
                                                       uint32_t(width / 4), uint32_t(height / 4)));
        free(error);
        return !error;
    }

    static QColor colourAt(const VideoFrameSource::Frame &frame, int x, int y)
    {
        const PixelBuffer picture = frame.picture->toPixelBuffer();
        const uchar *pixel = picture.row(y) + x * 4;
        return QColor(pixel[2], pixel[1], pixel[0]);
    }

    static bool near(const QColor &a, const QColor &b)
    {
        return std::abs(a.red() - b.red()) < 12 && std::abs(a.green() - b.green()) < 12
            && std::abs(a.blue() - b.blue()) < 12;
    }

    std::unique_ptr<test::XvfbDisplay> x;
    xcb_connection_t *painter = nullptr;
    const xcb_screen_t *screen = nullptr;
    xcb_gcontext_t gc = 0;
};

} // namespace

TEST_F(X11ScreenCaptureTest, GrabsOnlyAfterTheScreenChangedSaysWhenItDidAndFollowsItsSize)
{
    fill(screen->root, QRect(0, 0, 640, 480), QColor(200, 30, 40));
    X11ScreenCapture capture;
    int changes = 0;
    QObject::connect(&capture, &VideoFrameSource::changed, [&changes] { ++changes; });
    QString error;
    const auto first = capture.capture(640, 480, &error);
    ASSERT_TRUE(first) << error.toStdString();
    EXPECT_TRUE(capture.lastCaptureGrabbed());
    EXPECT_FALSE(first->unchanged);
    // Away from the middle, where the server's cursor is drawn in.
    EXPECT_TRUE(near(colourAt(*first, 100, 400), QColor(200, 30, 40)));

    // Nothing drawn since: no grab, the same picture, no change reported.
    runSync(sleepFor(100ms));
    const auto still = capture.capture(640, 480, &error);
    ASSERT_TRUE(still);
    EXPECT_FALSE(capture.lastCaptureGrabbed());
    EXPECT_EQ(still->picture, first->picture);
    EXPECT_TRUE(still->unchanged);

    // Drawing reports a change without a capture asking, and the next
    // capture shows it, scaled to the stream's size.
    fill(screen->root, QRect(0, 0, 640, 480), QColor(20, 160, 60));
    ASSERT_TRUE(test::waitUntil([&] { return changes > 0; }, 10s));
    const auto changed = capture.capture(320, 240, &error);
    ASSERT_TRUE(changed);
    EXPECT_TRUE(capture.lastCaptureGrabbed());
    EXPECT_NE(changed->picture, first->picture);
    EXPECT_EQ(changed->picture->size(), QSize(320, 240));
    EXPECT_TRUE(near(colourAt(*changed, 50, 200), QColor(20, 160, 60)));

    // Drawing into a window on top counts as well.
    const xcb_window_t window = xcb_generate_id(painter);
    const uint32_t values[] = {screen->black_pixel};
    xcb_create_window(painter, XCB_COPY_FROM_PARENT, window, screen->root, 100, 100, 200, 100, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_BACK_PIXEL, values);
    xcb_map_window(painter, window);
    fill(window, QRect(0, 0, 200, 100), QColor(40, 40, 220));
    ASSERT_TRUE(test::waitUntil([&] {
        const auto frame = capture.capture(640, 480, &error);
        return frame && near(colourAt(*frame, 200, 150), QColor(40, 40, 220));
    }, 10s));

    // The screen shrinks and grows back: the stream follows it and shows all
    // of it, not its old corner.
    ASSERT_TRUE(resizeScreen(320, 240));
    ASSERT_TRUE(capture.capture(640, 480, &error)) << error.toStdString();
    ASSERT_TRUE(resizeScreen(640, 480));
    fill(screen->root, QRect(0, 0, 320, 480), QColor(20, 160, 60));
    fill(screen->root, QRect(320, 0, 320, 480), QColor(40, 40, 220));
    EXPECT_TRUE(test::waitUntil([&] {
        const auto frame = capture.capture(640, 480, &error);
        return frame && near(colourAt(*frame, 100, 400), QColor(20, 160, 60))
            && near(colourAt(*frame, 540, 400), QColor(40, 40, 220));
    }, 10s)) << error.toStdString();
}
