#include "platform/screen/X11ScreenCapture.h"

#include <xcb/damage.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <cstdlib>
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
    xcb_damage_damage_t damage = 0;
    uint8_t damageEvent = 0;
    uint32_t subtracted = 0;  // request sequence of the last subtraction

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

X11ScreenCapture::X11ScreenCapture(QObject *parent) : VideoFrameSource(parent) {}

X11ScreenCapture::~X11ScreenCapture()
{
    disconnect();
}

void X11ScreenCapture::disconnect()
{
    m_notifier.reset();
    m_connection.reset();
    m_damaged = true;
}

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
    // A new screen size (a monitor plugged in, another resolution) arrives
    // as a configure event of the root window.
    const uint32_t events = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_change_window_attributes(connection->xcb, connection->root, XCB_CW_EVENT_MASK, &events);
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
    // Without DAMAGE every capture grabs the screen.
    const xcb_query_extension_reply_t *damage = xcb_get_extension_data(connection->xcb, &xcb_damage_id);
    if (damage && damage->present && connection->hasCursor) {
        auto cookie = xcb_damage_query_version(connection->xcb, 1, 1);
        if (auto *reply = xcb_damage_query_version_reply(connection->xcb, cookie, nullptr)) {
            free(reply);
            connection->damage = xcb_generate_id(connection->xcb);
            // One event when the screen goes from unchanged to changed; the
            // capture subtracts before it grabs, which arms the next one.
            xcb_damage_create(connection->xcb, connection->damage, connection->root,
                              XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
            connection->damageEvent = uint8_t(damage->first_event + XCB_DAMAGE_NOTIFY);
            xcb_flush(connection->xcb);
        }
    }
    m_connection = std::move(connection);
    m_damaged = true;
    if (m_connection->damage) {
        m_notifier = std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(m_connection->xcb),
                                                       QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] { takeEvents(true); });
    }
    return true;
}

void X11ScreenCapture::takeEvents(bool readSocket)
{
    if (!m_connection)
        return;
    xcb_connection_t *xcb = m_connection->xcb;
    bool damaged = false;
    bool resized = false;
    while (xcb_generic_event_t *event = readSocket ? xcb_poll_for_event(xcb) : xcb_poll_for_queued_event(xcb)) {
        const uint8_t type = event->response_type & 0x7f;
        // An event the server sent before it took the last subtraction is
        // about a change that grab already saw.
        if (m_connection->damage && type == m_connection->damageEvent
            && event->full_sequence >= m_connection->subtracted)
            damaged = true;
        if (type == XCB_CONFIGURE_NOTIFY) {
            const auto *configure = reinterpret_cast<const xcb_configure_notify_event_t *>(event);
            resized |= configure->window == m_connection->root
                && (configure->width != m_connection->width || configure->height != m_connection->height);
        }
        free(event);
    }
    if (resized || xcb_connection_has_error(xcb)) {
        // The server went away, or the grab and the segment no longer fit
        // the screen: connect anew at the next capture.
        disconnect();
        emit changed();
        return;
    }
    if (damaged && !m_damaged) {
        m_damaged = true;
        emit changed();
    }
}

namespace {

// Blends the cursor image (premultiplied ARGB) into the BGRx picture.
void drawCursor(const xcb_xfixes_get_cursor_image_reply_t *cursor, uint8_t *data, int width, int height)
{
    const uint32_t *pixels = xcb_xfixes_get_cursor_image_cursor_image(cursor);
    const int left = cursor->x - cursor->xhot;
    const int top = cursor->y - cursor->yhot;
    const qsizetype bytesPerRow = qsizetype(width) * 4;
    for (int y = 0; y < cursor->height; ++y) {
        const int py = top + y;
        if (py < 0 || py >= height)
            continue;
        for (int x = 0; x < cursor->width; ++x) {
            const int px = left + x;
            if (px < 0 || px >= width)
                continue;
            const uint32_t argb = pixels[y * cursor->width + x];
            const uint32_t alpha = argb >> 24;
            if (alpha == 0)
                continue;
            uint8_t *target = data + qsizetype(py) * bytesPerRow + px * 4;
            const uint32_t inverse = 255 - alpha;
            target[0] = uint8_t((argb & 0xff) + target[0] * inverse / 255);
            target[1] = uint8_t(((argb >> 8) & 0xff) + target[1] * inverse / 255);
            target[2] = uint8_t(((argb >> 16) & 0xff) + target[2] * inverse / 255);
        }
    }
}

} // namespace

std::optional<VideoFrameSource::Frame> X11ScreenCapture::capture(int width, int height, QString *error)
{
    m_grabbed = false;
    if (width <= 0 || height <= 0) {
        *error = QStringLiteral("Ungültige Bildgröße.");
        return std::nullopt;
    }
    if (m_connection)
        takeEvents(true);
    if (!m_connection && !connect(error))
        return std::nullopt;
    Connection &c = *m_connection;

    // Damage from the subtraction on arms a new event, so no change is
    // missed between this grab and the next.
    const auto requestGrab = [this, &c] {
        if (c.damage)
            c.subtracted = xcb_damage_subtract(c.xcb, c.damage, XCB_NONE, XCB_NONE).sequence;
        m_damaged = false;
        return xcb_shm_get_image(c.xcb, c.root, 0, 0, uint16_t(c.width), uint16_t(c.height), ~0u,
                                 XCB_IMAGE_FORMAT_Z_PIXMAP, c.segment, 0);
    };
    // A known change asks for the cursor and the picture in one round trip.
    const bool reusable = c.damage && !m_damaged && m_last && m_last->size() == QSize(width, height);
    std::optional<xcb_shm_get_image_cookie_t> cookie;
    std::optional<xcb_xfixes_get_cursor_image_cookie_t> cursorCookie;
    if (c.hasCursor)
        cursorCookie = xcb_xfixes_get_cursor_image(c.xcb);
    if (!reusable)
        cookie = requestGrab();
    xcb_xfixes_get_cursor_image_reply_t *cursor =
        cursorCookie ? xcb_xfixes_get_cursor_image_reply(c.xcb, *cursorCookie, nullptr) : nullptr;
    const int cursorX = cursor ? cursor->x : -1;
    const int cursorY = cursor ? cursor->y : -1;
    const uint32_t cursorSerial = cursor ? cursor->cursor_serial : 0;
    const bool cursorMoved = cursorX != m_cursorX || cursorY != m_cursorY || cursorSerial != m_cursorSerial;
    if (!cookie) {
        takeEvents(false);
        if (!m_connection) {
            free(cursor);
            *error = QStringLiteral("Die Verbindung zum X-Display ist abgebrochen.");
            return std::nullopt;
        }
        if (!m_damaged && !cursorMoved) {
            free(cursor);
            return Frame{m_last, true};
        }
        cookie = requestGrab();
    }
    xcb_generic_error_t *grabError = nullptr;
    xcb_shm_get_image_reply_t *reply = xcb_shm_get_image_reply(c.xcb, *cookie, &grabError);
    if (!reply) {
        free(grabError);
        free(cursor);
        *error = QStringLiteral("Das Bild des X-Displays konnte nicht gelesen werden.");
        // The server may have gone away; reconnect next time.
        disconnect();
        return std::nullopt;
    }
    free(reply);
    // The segment is ours until the next grab: the cursor goes straight into it.
    if (cursor)
        drawCursor(cursor, c.shmData, c.width, c.height);
    free(cursor);
    m_cursorX = cursorX;
    m_cursorY = cursorY;
    m_cursorSerial = cursorSerial;

    std::shared_ptr<I420Picture> picture = m_pool.take(width, height);
    if (width == c.width && height == c.height) {
        picture->convertFrom(c.shmData, c.width * 4);
    } else {
        m_full.resize(c.width, c.height);
        m_full.convertFrom(c.shmData, c.width * 4);
        m_full.scaleInto(*picture);
    }
    m_last = picture;
    m_grabbed = true;
    // Events that arrived with the replies.
    takeEvents(false);
    return Frame{picture, false};
}

} // namespace trellium
