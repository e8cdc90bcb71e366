#pragma once

#include <QSize>
#include <QString>

#include <cstdint>
#include <optional>

namespace trellium {

// An H.264 format of a peer's offer that x264 without B-frames can produce
// (packetization-mode=1; constrained baseline, baseline, main, constrained
// high or high), and the limits of its level. The answer repeats the offered
// profile-level-id as it is (a peer refuses an answer that raises it); the
// stream's own level is the one its SPS names, which decoders follow, so a
// picture beyond the offered level is still streamed at its size.
struct WebRtcH264Format {
    // In the order of preference.
    enum class Profile { constrainedBaseline, baseline, main, constrainedHigh, high };

    int payloadType = -1;
    // As offered (lower case); empty when the offer names none, which
    // browsers read as constrained baseline level 3.1.
    QString profileLevelId;
    Profile profile = Profile::constrainedBaseline;
    // level_idc; 9 for level 1b.
    int level = 31;

    // From the offer's first video section that has such formats: the most
    // preferred profile; within it one whose level holds the requested
    // picture at fps, or else the one whose level holds the most; then
    // m-line order.
    static std::optional<WebRtcH264Format> choose(const QString &offerSdp, QSize requested, int fps);

    // Whether the level holds the picture at fps.
    bool holds(QSize picture, int fps) const;
    // x264enc's caps profile for this format.
    const char *encoderProfile() const;
    // GStreamer's caps name of the offered profile; none without a profile-level-id.
    const char *capsProfile() const;
};

// True when the description has a video section with a port that sends
// (sendonly or sendrecv).
bool sdpSendsVideo(const QString &sdp);

} // namespace trellium
