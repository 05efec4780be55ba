// Node clients for the system-wide capture's end-to-end test, its OpenSSL built in:
//   node node_client.js CAFILE FETCH_URL HTTPS_URL HTTP2_ORIGIN HTTP2_PATH
// fetch (undici), https.get and http2 in turn, each trusting CAFILE.
const fs = require('fs');
const https = require('https');
const http2 = require('http2');
const [ca, fetchUrl, httpsUrl, origin, path] = process.argv.slice(2);
const authority = fs.readFileSync(ca);

(async () => {
  const fetched = await fetch(fetchUrl);
  console.log('fetch', fetched.status, (await fetched.text()).length);
  await new Promise((done, fail) => https.get(httpsUrl, {ca: authority}, (response) => {
    response.resume();
    response.on('end', done);
    console.log('https', response.statusCode);
  }).on('error', fail));
  await new Promise((done, fail) => {
    const session = http2.connect(origin, {ca: authority});
    session.on('error', fail);
    const stream = session.request({':path': path});
    stream.on('response', (headers) => console.log('http2', headers[':status']));
    stream.resume();
    stream.on('end', () => { session.close(); done(); });
    stream.end();
  });
})().catch((error) => { console.error(error); process.exit(1); });
