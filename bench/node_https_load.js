// A busy HTTPS client on node's built-in OpenSSL: CONNECTIONS keep-alive connections asking
// for URL in turn for SECONDS; prints requests/s.
//   node bench/node_https_load.js URL SECONDS CONNECTIONS
const https = require('https');
const [url, seconds, connections] = process.argv.slice(2);
const agent = new https.Agent({keepAlive: true, maxSockets: Number(connections)});
const end = Date.now() + Number(seconds) * 1000;
let done = 0;

function next(resolve) {
  if (Date.now() >= end) {
    resolve();
    return;
  }
  https.get(url, {agent, rejectUnauthorized: false}, (response) => {
    response.resume();
    response.on('end', () => { ++done; next(resolve); });
  }).on('error', (error) => { console.error(error.message); process.exit(1); });
}

Promise.all(Array.from({length: Number(connections)}, () => new Promise(next))).then(() => {
  console.log(`Requests/sec: ${(done / Number(seconds)).toFixed(1)}`);
  agent.destroy();
});
