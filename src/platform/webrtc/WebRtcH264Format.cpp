#include "platform/webrtc/WebRtcH264Format.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <tuple>

namespace trellium {

namespace {

using Profile = WebRtcH264Format::Profile;

// H.264 Table A-1: macroblocks a second, macroblocks a frame.
struct Level {
    int idc;
    int64_t macroblocksPerSecond;
    int64_t frameMacroblocks;
};
constexpr Level kLevels[] = {
    {9, 1485, 99},           {10, 1485, 99},          {11, 3000, 396},         {12, 6000, 396},
    {13, 11880, 396},        {20, 11880, 396},        {21, 19800, 792},        {22, 20250, 1620},
    {30, 40500, 1620},       {31, 108000, 3600},      {32, 216000, 5120},      {40, 245760, 8192},
    {41, 245760, 8192},      {42, 522240, 8704},      {50, 589824, 22080},     {51, 983040, 36864},
    {52, 2073600, 36864},    {60, 4177920, 139264},   {61, 8355840, 139264},   {62, 16711680, 139264},
};

// The highest level at or below level_idc (unknown values between levels
// are held to the lower one).
const Level &levelRow(int idc)
{
    const Level *row = &kLevels[0];
    for (const Level &level : kLevels) {
        if (level.idc <= idc)
            row = &level;
    }
    return *row;
}

// profile_idc and the constraint flags as browsers classify them: the bits
// of profile-iop under the mask must equal the value.
struct ProfilePattern {
    int idc;
    int mask;
    int value;
    Profile profile;
};
constexpr ProfilePattern kProfiles[] = {
    {0x42, 0x4f, 0x40, Profile::constrainedBaseline}, {0x4d, 0x8f, 0x80, Profile::constrainedBaseline},
    {0x58, 0xcf, 0xc0, Profile::constrainedBaseline}, {0x42, 0x4f, 0x00, Profile::baseline},
    {0x58, 0xcf, 0x80, Profile::baseline},            {0x4d, 0xaf, 0x00, Profile::main},
    {0x64, 0xff, 0x0c, Profile::constrainedHigh},     {0x64, 0xff, 0x00, Profile::high},
};

// A format from its fmtp parameters; none when it is not in mode 1 or not
// of a profile x264 can produce.
std::optional<WebRtcH264Format> formatOf(int payloadType, const QString &parameters)
{
    bool modeOne = false;
    WebRtcH264Format format;
    format.payloadType = payloadType;
    for (const QString &field : parameters.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const QString key = field.section(QLatin1Char('='), 0, 0).trimmed().toLower();
        const QString value = field.section(QLatin1Char('='), 1).trimmed().toLower();
        if (key == QLatin1String("packetization-mode"))
            modeOne = value == QLatin1String("1");
        else if (key == QLatin1String("profile-level-id"))
            format.profileLevelId = value;
    }
    if (!modeOne)
        return std::nullopt;
    if (format.profileLevelId.isEmpty())
        return format;
    bool ok = false;
    const uint code = format.profileLevelId.toUInt(&ok, 16);
    if (!ok || format.profileLevelId.size() != 6)
        return std::nullopt;
    const int idc = int(code >> 16), iop = int((code >> 8) & 0xff);
    format.level = int(code & 0xff);
    const auto pattern = std::find_if(std::begin(kProfiles), std::end(kProfiles), [idc, iop](const ProfilePattern &p) {
        return p.idc == idc && (iop & p.mask) == p.value;
    });
    if (pattern == std::end(kProfiles) || format.level < 9)
        return std::nullopt;
    format.profile = pattern->profile;
    // Level 1b of the baseline and main family: level 1.1 with constraint_set3.
    if (format.level == 11 && idc != 0x64 && (iop & 0x10))
        format.level = 9;
    return format;
}

int64_t frameLimit(const Level &level, int fps)
{
    return std::min(level.frameMacroblocks, level.macroblocksPerSecond / std::max(1, fps));
}

} // namespace

std::optional<WebRtcH264Format> WebRtcH264Format::choose(const QString &offerSdp, QSize requested, int fps)
{
    bool inVideo = false;
    // Each format once, however often the m-line repeats it: the offer
    // comes from the peer, and its formats times its parameters must not
    // cost the main thread more than the offer's length.
    QList<int> order;
    QSet<int> isH264;
    QHash<int, QString> parameters;
    std::optional<WebRtcH264Format> best;
    const auto finishSection = [&]() {
        // Profile, then holding the request or else holding the most, then m-line order.
        std::tuple<Profile, bool, int64_t> bestKey;
        for (const int type : std::as_const(order)) {
            const std::optional<WebRtcH264Format> format =
                isH264.contains(type) ? formatOf(type, parameters.value(type)) : std::nullopt;
            if (!format)
                continue;
            const bool fits = format->holds(requested, fps);
            const std::tuple<Profile, bool, int64_t> key{
                format->profile, !fits, fits ? 0 : -frameLimit(levelRow(format->level), fps)};
            if (!best || key < bestKey) {
                best = format;
                bestKey = key;
            }
        }
        order.clear();
        isH264.clear();
        parameters.clear();
    };

    const QStringList lines = offerSdp.split(QLatin1Char('\n'));
    for (QString line : lines) {
        line = line.trimmed();
        if (line.startsWith(QLatin1String("m="))) {
            if (inVideo)
                finishSection();
            if (best)
                return best;
            const QStringList words = line.mid(2).split(QLatin1Char(' '), Qt::SkipEmptyParts);
            inVideo = !words.isEmpty() && words.first() == QLatin1String("video");
            QSet<int> listed;
            for (qsizetype i = 3; inVideo && i < words.size(); ++i) {
                bool ok = false;
                const int type = words[i].toInt(&ok);
                if (ok && type >= 0 && type <= 127 && !listed.contains(type)) {
                    listed.insert(type);
                    order << type;
                }
            }
            continue;
        }
        if (!inVideo)
            continue;
        const bool rtpmap = line.startsWith(QLatin1String("a=rtpmap:"));
        const bool fmtp = line.startsWith(QLatin1String("a=fmtp:"));
        if (!rtpmap && !fmtp)
            continue;
        const QString rest = line.mid(rtpmap ? 9 : 7);
        const qsizetype space = rest.indexOf(QLatin1Char(' '));
        bool ok = false;
        const int type = space > 0 ? rest.left(space).toInt(&ok) : -1;
        if (!ok)
            continue;
        const QString value = rest.mid(space + 1).trimmed();
        if (!rtpmap)
            parameters[type] = value;
        else if (value.section(QLatin1Char('/'), 0, 0).compare(QLatin1String("H264"), Qt::CaseInsensitive) == 0)
            isH264.insert(type);
        else
            isH264.remove(type);
    }
    if (inVideo)
        finishSection();
    return best;
}

bool WebRtcH264Format::holds(QSize picture, int fps) const
{
    const Level &row = levelRow(level);
    // Neither side may exceed sqrt(8 x the frame limit) macroblocks.
    const int64_t side = int64_t(std::sqrt(8.0 * double(row.frameMacroblocks)));
    const int64_t across = (int64_t(picture.width()) + 15) / 16, down = (int64_t(picture.height()) + 15) / 16;
    return across <= side && down <= side && across * down <= frameLimit(row, fps);
}

const char *WebRtcH264Format::encoderProfile() const
{
    switch (profile) {
    case Profile::constrainedBaseline:
    case Profile::baseline:
        // x264's baseline is constrained baseline, which every baseline decoder reads.
        return "constrained-baseline";
    case Profile::main:
        return "main";
    case Profile::constrainedHigh:
    case Profile::high:
        // Without B-frames and interlacing, x264's high is constrained high.
        return "high";
    }
    return "constrained-baseline";
}

const char *WebRtcH264Format::capsProfile() const
{
    if (profileLevelId.isEmpty())
        return nullptr;
    switch (profileLevelId.left(2).toInt(nullptr, 16)) {
    case 0x42:
        return profile == Profile::constrainedBaseline ? "constrained-baseline" : "baseline";
    case 0x4d:
        return "main";
    case 0x58:
        return "extended";
    default:
        return profile == Profile::constrainedHigh ? "constrained-high" : "high";
    }
}

bool sdpSendsVideo(const QString &sdp)
{
    bool inVideo = false;
    bool sends = false;
    const auto finish = [&]() { return inVideo && sends; };
    for (QString line : sdp.split(QLatin1Char('\n'))) {
        line = line.trimmed();
        if (line.startsWith(QLatin1String("m="))) {
            if (finish())
                return true;
            const QStringList words = line.mid(2).split(QLatin1Char(' '), Qt::SkipEmptyParts);
            inVideo = words.size() > 1 && words[0] == QLatin1String("video") && words[1] != QLatin1String("0");
            // Without a direction attribute a section sends and receives.
            sends = true;
        } else if (line == QLatin1String("a=recvonly") || line == QLatin1String("a=inactive")) {
            sends = false;
        }
    }
    return finish();
}

} // namespace trellium
