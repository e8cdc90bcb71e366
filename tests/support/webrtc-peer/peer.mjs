// A WebRTC peer for the agent's tests: offers a receive-only H.264 video
// transceiver and an "input" data channel, and talks JSON lines.
//   stdout: {"type":"offer"|"candidate"|"endOfCandidates"|"ice"|"channel"|"remote"|"rtp"|"error", ...}
//   stdin:  {"type":"send"|"sendBinary"|"closeChannel"|"freeze"|"close", ...} or the agent's
//           signals ({"kind":"answer"|"iceCandidate", ...}).
// Only loopback candidates are offered and taken: the connection must use one.
// PEER_CODECS lists the offered video formats in order, "H264/<pt>/<profile-level-id>"
// or "VP8/<pt>", separated by spaces (default "H264/102/42e01f").
import readline from "node:readline";
import { RTCPeerConnection, RTCRtpCodecParameters } from "werift";

const emit = (message) => process.stdout.write(JSON.stringify(message) + "\n");
const loopback = (candidate) => candidate.includes(" 127.0.0.1 ");
const feedback = [{ type: "nack" }, { type: "nack", parameter: "pli" }, { type: "ccm", parameter: "fir" }];
const video = (process.env.PEER_CODECS || "H264/102/42e01f").split(" ").map((codec) => {
  const [name, payloadType, profileLevelId] = codec.split("/");
  return new RTCRtpCodecParameters({
    mimeType: `video/${name}`,
    clockRate: 90000,
    payloadType: Number(payloadType),
    rtcpFeedback: feedback,
    parameters: profileLevelId
      ? `level-asymmetry-allowed=1;packetization-mode=1;profile-level-id=${profileLevelId}`
      : undefined,
  });
});

const pc = new RTCPeerConnection({
  iceServers: [],
  iceAdditionalHostAddresses: ["127.0.0.1"],
  codecs: { audio: [], video },
});

pc.iceConnectionStateChange.subscribe((state) => emit({ type: "ice", state }));
pc.onIceCandidate.subscribe((candidate) => {
  if (!candidate) return emit({ type: "endOfCandidates" });
  const c = candidate.toJSON ? candidate.toJSON() : candidate;
  if (!loopback(c.candidate)) return;
  // Shaped as the agent's candidate signals.
  emit({ type: "candidate", kind: "iceCandidate", candidate: c.candidate, sdpMid: c.sdpMid ?? null,
    sdpMLineIndex: c.sdpMLineIndex ?? 0 });
});

const transceiver = pc.addTransceiver("video", { direction: "recvonly" });
transceiver.onTrack.subscribe((track) => {
  track.onReceiveRtp.subscribe((rtp) => {
    emit({
      type: "rtp",
      t: Date.now(),
      m: rtp.header.marker,
      pt: rtp.header.payloadType,
      seq: rtp.header.sequenceNumber,
      ts: rtp.header.timestamp,
      p: rtp.payload.toString("base64"),
    });
  });
});

const channel = pc.createDataChannel("input");
channel.stateChanged.subscribe((state) => emit({ type: "channel", state }));

const lines = readline.createInterface({ input: process.stdin });
lines.on("line", async (line) => {
  try {
    const message = JSON.parse(line);
    switch (message.type ?? message.kind) {
      case "answer":
        await pc.setRemoteDescription({ type: "answer", sdp: message.sdp });
        emit({ type: "remote", trackId: transceiver.receiver.remoteTrackId, streamIds: transceiver.receiver.remoteStreamIds });
        break;
      case "iceCandidate":
        if (!loopback(message.candidate)) break;
        await pc.addIceCandidate({
          candidate: message.candidate,
          sdpMid: message.sdpMid ?? undefined,
          sdpMLineIndex: message.sdpMLineIndex ?? 0,
        });
        break;
      case "send":
        channel.send(message.text);
        break;
      case "sendBinary":
        channel.send(Buffer.from(message.base64, "base64"));
        break;
      case "closeChannel":
        channel.close();
        break;
      case "freeze": // stops dead: no goodbye, no packet of any kind any more
        process.kill(process.pid, "SIGSTOP");
        break;
      case "close":
        await pc.close();
        process.exit(0);
    }
  } catch (error) {
    emit({ type: "error", message: String(error && error.stack ? error.stack : error) });
  }
});
lines.on("close", async () => {
  await pc.close().catch(() => {});
  process.exit(0);
});

const offer = await pc.createOffer();
await pc.setLocalDescription(offer);
const offered = pc.localDescription.sdp.split("\r\n");
emit({ type: "offer", sdp: offered.filter((l) => !l.startsWith("a=candidate:") || loopback(l)).join("\r\n") });
