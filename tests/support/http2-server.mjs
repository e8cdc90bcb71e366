// An HTTP/2-only TLS server on 127.0.0.1 for the download tests (node's own
// http2 module, nothing to install). Arguments: certificate file, key file,
// routes as JSON: { "/path": { file, resetAfter, resetWithoutError,
// closeAfter } }; bodies go without a content-length. It prints {"port": n} once listening and
// {"path", "protocol"} for every request (the protocol the TLS handshake
// chose); it ends when its input closes.
import fs from 'node:fs';
import http2 from 'node:http2';

const [certificateFile, keyFile, routesJson] = process.argv.slice(2);
const routes = JSON.parse(routesJson);
const print = (message) => process.stdout.write(JSON.stringify(message) + '\n');

// Writes the file's bytes [0, end) to the stream; a `false` from write waits
// for the peer's flow-control window.
function sendPart(stream, file, end, done) {
  if (end <= 0)
    return done();
  const reader = fs.createReadStream(file, { start: 0, end: end - 1, highWaterMark: 64 * 1024 });
  reader.on('data', (piece) => {
    if (!stream.write(piece)) {
      reader.pause();
      stream.once('drain', () => reader.resume());
    }
  });
  reader.on('end', () => done());
  reader.on('error', (error) => stream.destroy(error));
}

const server = http2.createSecureServer({
  cert: fs.readFileSync(certificateFile),
  key: fs.readFileSync(keyFile),
  allowHTTP1: false,
});
server.on('stream', (stream, headers) => {
  // A reset stream reports its own code as an error: expected here.
  stream.on('error', () => {});
  const path = headers[':path'].split('?')[0];
  print({ path, protocol: stream.session.alpnProtocol });
  const route = routes[path];
  if (!route) {
    stream.respond({ ':status': 404, 'content-length': '0' }, { endStream: true });
    return;
  }
  stream.respond({ ':status': 200, 'content-type': 'application/octet-stream' });
  if (route.resetAfter !== undefined) {
    // RST_STREAM without END_STREAM; the connection lives on. close() would
    // end the stream first; destroy() resets it at once, with NO_ERROR when
    // given no error, else INTERNAL_ERROR.
    sendPart(stream, route.file, route.resetAfter, () =>
      stream.write(Buffer.alloc(0), () => stream.destroy(route.resetWithoutError ? undefined : new Error('reset'))));
  } else if (route.closeAfter !== undefined) {
    // The connection goes away under the stream.
    sendPart(stream, route.file, route.closeAfter, () =>
      stream.write(Buffer.alloc(0), () => stream.session.destroy()));
  } else {
    sendPart(stream, route.file, fs.statSync(route.file).size, () => stream.end());
  }
});
server.listen(0, '127.0.0.1', () => print({ port: server.address().port }));
process.stdin.on('end', () => process.exit(0));
process.stdin.resume();
