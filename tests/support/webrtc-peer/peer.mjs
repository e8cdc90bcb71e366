// A WebRTC peer for the agent's tests: offers a receive-only H.264 video
// transceiver and an "input" data channel, and talks JSON lines.
//   stdout: {"type":"offer"|"candidate"|"endOfCandidates"|"ice"|"channel"|"rtp"|"error", ...}
//   stdin:  {"type":"answer"|"candidate"|"send"|"sendBinary"|"close", ...}
// PEER_PAYLOAD_TYPE picks the H.264 payload type (default 102).
import readline from "node:readline";
import { RTCPeerConnection, RTCRtpCodecParameters } from "werift";

const payloadType = Number(process.env.PEER_PAYLOAD_TYPE || 102);
const emit = (message) => process.stdout.write(JSON.stringify(message) + "\n");

const pc = new RTCPeerConnection({
  iceServers: [],
  iceAdditionalHostAddresses: ["127.0.0.1"],
  codecs: {
    audio: [],
    video: [
      new RTCRtpCodecParameters({
        mimeType: "video/H264",
        clockRate: 90000,
        payloadType,
        rtcpFeedback: [{ type: "nack" }, { type: "nack", parameter: "pli" }, { type: "ccm", parameter: "fir" }],
        parameters: "level-asymmetry-allowed=1;packetization-mode=1;profile-level-id=42e01f",
      }),
    ],
  },
});

pc.iceConnectionStateChange.subscribe((state) => emit({ type: "ice", state }));
pc.onIceCandidate.subscribe((candidate) => {
  if (!candidate) return emit({ type: "endOfCandidates" });
  const c = candidate.toJSON ? candidate.toJSON() : candidate;
  emit({ type: "candidate", candidate: c.candidate, sdpMid: c.sdpMid ?? null, sdpMLineIndex: c.sdpMLineIndex ?? 0 });
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
    switch (message.type) {
      case "answer":
        await pc.setRemoteDescription({ type: "answer", sdp: message.sdp });
        break;
      case "candidate":
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
emit({ type: "offer", sdp: pc.localDescription.sdp });
