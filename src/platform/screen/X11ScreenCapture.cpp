#include "platform/screen/X11ScreenCapture.h"

#include <libyuv/scale_argb.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <cstring>
#include <sys/ipc.h>
#include <sys/shm.h>

namespace trellium {

struct X11ScreenCapture::Connection {
    xcb_connection_t *xcb = nullptr;
    xcb_window_t root = 0;
    int width = 0;
    int height = 0;
    uint8_t depth = 0;
    bool hasCursor = false;
    int shmId = -1;
    uint8_t *shmData = nullptr;
    xcb_shm_seg_t segment = 0;
    PixelBuffer full;

    ~Connection()
    {
        if (xcb && segment)
            xcb_shm_detach(xcb, segment);
        if (shmData)
            shmdt(shmData);
        if (shmId >= 0)
            shmctl(shmId, IPC_RMID, nullptr);
        if (xcb)
            xcb_disconnect(xcb);
    }
};

X11ScreenCapture::X11ScreenCapture() = default;
X11ScreenCapture::~X11ScreenCapture() = default;

bool X11ScreenCapture::connect(QString *error)
{
    auto connection = std::make_unique<Connection>();
    int screenNumber = 0;
    connection->xcb = xcb_connect(nullptr, &screenNumber);
    if (!connection->xcb || xcb_connection_has_error(connection->xcb)) {
        *error = QStringLiteral("Kein X-Display verfügbar.");
        return false;
    }
    const xcb_setup_t *setup = xcb_get_setup(connection->xcb);
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(setup);
    for (int i = 0; i < screenNumber && screens.rem; ++i)
        xcb_screen_next(&screens);
    if (!screens.rem) {
        *error = QStringLiteral("Kein X-Bildschirm gefunden.");
        return false;
    }
    const xcb_screen_t *screen = screens.data;
    connection->root = screen->root;
    connection->width = screen->width_in_pixels;
    connection->height = screen->height_in_pixels;
    connection->depth = screen->root_depth;
    if (connection->depth != 24 && connection->depth != 32) {
        *error = QStringLiteral("Nicht unterstützte Farbtiefe: %1").arg(connection->depth);
        return false;
    }

    const xcb_query_extension_reply_t *shm = xcb_get_extension_data(connection->xcb, &xcb_shm_id);
    if (!shm || !shm->present) {
        *error = QStringLiteral("Die X-Erweiterung MIT-SHM fehlt.");
        return false;
    }
    const size_t bytes = size_t(connection->width) * size_t(connection->height) * 4;
    connection->shmId = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (connection->shmId < 0) {
        *error = QStringLiteral("Gemeinsamer Speicher nicht verfügbar.");
        return false;
    }
    connection->shmData = static_cast<uint8_t *>(shmat(connection->shmId, nullptr, 0));
    if (connection->shmData == reinterpret_cast<uint8_t *>(-1)) {
        connection->shmData = nullptr;
        *error = QStringLiteral("Gemeinsamer Speicher nicht verfügbar.");
        return false;
    }
    connection->segment = xcb_generate_id(connection->xcb);
    xcb_generic_error_t *attachError =
        xcb_request_check(connection->xcb, xcb_shm_attach_checked(connection->xcb, connection->segment,
                                                                 uint32_t(connection->shmId), 0));
    // Marked for removal now: it goes away once both sides have detached.
    shmctl(connection->shmId, IPC_RMID, nullptr);
    connection->shmId = -1;
    if (attachError) {
        free(attachError);
        connection->segment = 0;
        *error = QStringLiteral("Der X-Server kann den gemeinsamen Speicher nicht nutzen.");
        return false;
    }

    const xcb_query_extension_reply_t *fixes = xcb_get_extension_data(connection->xcb, &xcb_xfixes_id);
    if (fixes && fixes->present) {
        auto cookie = xcb_xfixes_query_version(connection->xcb, 4, 0);
        if (auto *reply = xcb_xfixes_query_version_reply(connection->xcb, cookie, nullptr)) {
            connection->hasCursor = true;
            free(reply);
        }
    }
    connection->full.width = connection->width;
    connection->full.height = connection->height;
    connection->full.bytesPerRow = connection->width * 4;
    m_connection = std::move(connection);
    return true;
}

namespace {

// Blends the cursor image (premultiplied ARGB) into the BGRx picture.
void drawCursor(xcb_connection_t *xcb, PixelBuffer &picture)
{
    auto cookie = xcb_xfixes_get_cursor_image(xcb);
    xcb_xfixes_get_cursor_image_reply_t *cursor = xcb_xfixes_get_cursor_image_reply(xcb, cookie, nullptr);
    if (!cursor)
        return;
    const uint32_t *pixels = xcb_xfixes_get_cursor_image_cursor_image(cursor);
    const int left = cursor->x - cursor->xhot;
    const int top = cursor->y - cursor->yhot;
    auto *data = reinterpret_cast<uint8_t *>(picture.data.data());
    for (int y = 0; y < cursor->height; ++y) {
        const int py = top + y;
        if (py < 0 || py >= picture.height)
            continue;
        for (int x = 0; x < cursor->width; ++x) {
            const int px = left + x;
            if (px < 0 || px >= picture.width)
                continue;
            const uint32_t argb = pixels[y * cursor->width + x];
            const uint32_t alpha = argb >> 24;
            if (alpha == 0)
                continue;
            uint8_t *target = data + qsizetype(py) * picture.bytesPerRow + px * 4;
            const uint32_t inverse = 255 - alpha;
            target[0] = uint8_t((argb & 0xff) + target[0] * inverse / 255);
            target[1] = uint8_t(((argb >> 8) & 0xff) + target[1] * inverse / 255);
            target[2] = uint8_t(((argb >> 16) & 0xff) + target[2] * inverse / 255);
        }
    }
    free(cursor);
}

} // namespace

std::optional<PixelBuffer> X11ScreenCapture::capture(int width, int height, QString *error)
{
    if (width <= 0 || height <= 0) {
        *error = QStringLiteral("Ungültige Bildgröße.");
        return std::nullopt;
    }
    if (!m_connection && !connect(error))
        return std::nullopt;
    Connection &c = *m_connection;
    auto cookie = xcb_shm_get_image(c.xcb, c.root, 0, 0, uint16_t(c.width), uint16_t(c.height), ~0u,
                                    XCB_IMAGE_FORMAT_Z_PIXMAP, c.segment, 0);
    xcb_generic_error_t *grabError = nullptr;
    xcb_shm_get_image_reply_t *reply = xcb_shm_get_image_reply(c.xcb, cookie, &grabError);
    if (!reply) {
        free(grabError);
        *error = QStringLiteral("Das Bild des X-Displays konnte nicht gelesen werden.");
        // The server may have gone away; reconnect next time.
        m_connection.reset();
        return std::nullopt;
    }
    free(reply);
    c.full.data = QByteArray(reinterpret_cast<const char *>(c.shmData), qsizetype(c.width) * c.height * 4);
    if (c.hasCursor)
        drawCursor(c.xcb, c.full);
    if (width == c.width && height == c.height)
        return c.full;

    PixelBuffer scaled;
    scaled.width = width;
    scaled.height = height;
    scaled.bytesPerRow = width * 4;
    scaled.data.resize(qsizetype(scaled.bytesPerRow) * height);
    libyuv::ARGBScale(reinterpret_cast<const uint8_t *>(c.full.data.constData()), c.full.bytesPerRow, c.width, c.height,
                      reinterpret_cast<uint8_t *>(scaled.data.data()), scaled.bytesPerRow, width, height,
                      libyuv::kFilterBilinear);
    return scaled;
}

} // namespace trellium
