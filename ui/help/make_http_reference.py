#!/usr/bin/env python3
"""Writes Vantor's HTTP reference: one page per request method, status code and header field
that the text view's double click can open, and an index. The pages are committed; run this
again only to change them:  python3 ui/help/make_http_reference.py
"""

import html
import os

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "httphelp")

# key, page, title, what it means, when it is sent, example, related keys
METHODS = [
    ("options", "0902.htm", "OPTIONS",
     "Asks what the server can do for a resource, or for the server as a whole (with the target "
     "<code>*</code>), without acting on anything. The answer lists the allowed methods in "
     "<code>Allow</code>.",
     "Sent by clients that want to know the capabilities of a server before a real request; "
     "browsers send it as the pre-flight of a cross-origin request.",
     "OPTIONS * HTTP/1.1", ["allow", "get", "200"]),
    ("get", "0903.htm", "GET",
     "Fetches the representation of the resource the target names. It is safe (it changes "
     "nothing on the server) and may be repeated freely, so caches keep its answers.",
     "By far the most common request: every page, image, script and style sheet a browser loads.",
     "GET /index.html HTTP/1.1", ["head", "if-modified-since", "range", "200", "304"]),
    ("head", "0904.htm", "HEAD",
     "Like GET, but the response carries only the status line and the header fields, never a "
     "body. The header fields are those a GET would have given.",
     "Sent to check whether a resource exists, how large it is, or whether it changed, without "
     "downloading it.",
     "HEAD /report.pdf HTTP/1.1", ["get", "content-length", "last-modified"]),
    ("post", "0905.htm", "POST",
     "Hands the enclosed body to the resource for processing: a form, an upload, a call of a "
     "service. What happens is up to the server; repeating it may repeat the effect.",
     "Sent when a form is submitted, a file is uploaded or an API is called.",
     "POST /login HTTP/1.1", ["content-type", "content-length", "201", "303"]),
    ("put", "0906.htm", "PUT",
     "Stores the enclosed body under the target, creating the resource or replacing it whole. "
     "Repeating the same PUT leaves the same result.",
     "Sent by clients that manage resources directly, such as WebDAV clients and REST APIs.",
     "PUT /notes/7 HTTP/1.1", ["delete", "201", "204", "if-match"]),
    ("delete", "0907.htm", "DELETE",
     "Asks the server to remove the resource the target names.",
     "Sent by REST clients and WebDAV clients to delete a resource.",
     "DELETE /notes/7 HTTP/1.1", ["put", "200", "202", "204"]),
    ("trace", "0908.htm", "TRACE",
     "Asks the server to send the request back as it received it, as the body of a "
     "<code>message/http</code> response, so that the client sees what the proxies on the way "
     "changed.",
     "Sent for diagnosis only; many servers refuse it.",
     "TRACE / HTTP/1.1", ["max-forwards", "via", "405"]),
    ("connect", "0909.htm", "CONNECT",
     "Asks a proxy to open a tunnel to the host and port in the target and to relay bytes both "
     "ways from then on.",
     "Sent by clients to their proxy before an HTTPS connection; what follows is encrypted.",
     "CONNECT example.org:443 HTTP/1.1", ["host", "proxy-authorization", "200", "407"]),
]

STATUS = [
    (100, "Continue", "The server has the request header and the client should go on sending the body.",
     "Sent in answer to a request with <code>Expect: 100-continue</code>, before the final status.",
     ["expect", "417"]),
    (101, "Switching Protocols", "The server agrees to change the protocol of the connection as the client asked in <code>Upgrade</code>.",
     "Sent before a connection turns into a WebSocket or another protocol.", ["upgrade", "connection"]),
    (200, "OK", "The request succeeded. For GET the body is the resource; for POST it describes the result.",
     "The usual answer to a request that worked.", ["201", "204", "get", "post"]),
    (201, "Created", "The request made a new resource; <code>Location</code> names it.",
     "Sent after a POST or PUT that created something.", ["location", "post", "put"]),
    (202, "Accepted", "The request was taken for processing, which has not finished and may still fail.",
     "Sent by servers that process requests in the background.", ["200", "204"]),
    (203, "Non-Authoritative Information", "The header fields come from a copy on the way rather than from the origin server.",
     "Sent by proxies that changed the answer of the origin.", ["via", "200"]),
    (204, "No Content", "The request succeeded and there is no body to send.",
     "Sent after a successful PUT or DELETE, or for requests whose answer would be empty.", ["200", "205", "delete"]),
    (205, "Reset Content", "The request succeeded and the client should clear the form or view that sent it.",
     "Sent after data entry, so that the form can be filled again.", ["204"]),
    (206, "Partial Content", "The body holds only the ranges the client asked for in <code>Range</code>.",
     "Sent when a download is resumed or a media file is read in pieces.", ["range", "content-range", "accept-ranges"]),
    (300, "Multiple Choices", "The resource exists in several representations; the body or <code>Location</code> lists them.",
     "Rare; sent when the server leaves the choice to the client.", ["location", "301"]),
    (301, "Moved Permanently", "The resource has a new address for good, given in <code>Location</code>; links should be updated.",
     "Sent when a site moves, or to add a missing trailing slash.", ["location", "302", "307"]),
    (302, "Found", "The resource is at another address for now, given in <code>Location</code>.",
     "Sent for temporary redirects, for example to a login page.", ["location", "303", "307"]),
    (303, "See Other", "The answer is at another address, to be fetched with GET.",
     "Sent after a POST, so that a reload does not post again.", ["location", "post", "302"]),
    (304, "Not Modified", "The copy the client holds is still current; there is no body.",
     "Sent in answer to a conditional GET with <code>If-Modified-Since</code> or <code>If-None-Match</code>.",
     ["if-modified-since", "if-none-match", "etag", "last-modified"]),
    (305, "Use Proxy", "The resource must be reached through the proxy given in <code>Location</code>.",
     "Obsolete; clients ignore it for safety.", ["location"]),
    (306, "(Unused)", "A code that was reserved and is no longer used.",
     "Never sent.", ["305"]),
    (307, "Temporary Redirect", "Like 302, but the client must repeat the request with the same method and body.",
     "Sent for temporary redirects of POST and other requests with a body.", ["location", "302", "301"]),
    (400, "Bad Request", "The server could not understand the request: bad syntax, a missing field, a wrong value.",
     "Sent for malformed requests.", ["500"]),
    (401, "Unauthorized", "The request needs authentication; <code>WWW-Authenticate</code> says how.",
     "Sent when credentials are missing or wrong.", ["www-authenticate", "authorization", "403"]),
    (402, "Payment Required", "Reserved for future use.",
     "Rarely sent; some services use it for exhausted quotas.", ["403"]),
    (403, "Forbidden", "The server understood the request and refuses it; authenticating will not help.",
     "Sent when access is denied by rule.", ["401", "404"]),
    (404, "Not Found", "Nothing is found at the address the target names.",
     "Sent for missing pages and resources.", ["410", "403"]),
    (405, "Method Not Allowed", "The resource does not support the method; <code>Allow</code> lists the ones it does.",
     "Sent for, say, a DELETE on a read-only resource.", ["allow", "options"]),
    (406, "Not Acceptable", "The resource has no representation that fits the client's <code>Accept</code> fields.",
     "Sent when content negotiation finds nothing suitable.", ["accept", "accept-language", "accept-charset"]),
    (407, "Proxy Authentication Required", "Like 401, but it is the proxy that wants credentials; <code>Proxy-Authenticate</code> says how.",
     "Sent by proxies that need a login.", ["proxy-authenticate", "proxy-authorization", "401"]),
    (408, "Request Timeout", "The client did not finish its request in the time the server was willing to wait.",
     "Sent before the server closes an idle connection.", ["connection"]),
    (409, "Conflict", "The request conflicts with the current state of the resource.",
     "Sent for edit conflicts, for instance a PUT of an outdated version.", ["412", "put"]),
    (410, "Gone", "The resource was here, is gone for good, and has no new address.",
     "Sent when content was removed on purpose.", ["404"]),
    (411, "Length Required", "The server wants a <code>Content-Length</code> with the body.",
     "Sent for bodies without a length.", ["content-length"]),
    (412, "Precondition Failed", "A condition in the request header (<code>If-Match</code>, <code>If-Unmodified-Since</code>) did not hold.",
     "Sent when a conditional update finds the resource changed.", ["if-match", "if-unmodified-since", "409"]),
    (413, "Request Entity Too Large", "The body is larger than the server will accept.",
     "Sent for oversized uploads.", ["content-length", "retry-after"]),
    (414, "Request-URI Too Long", "The target is longer than the server will read.",
     "Sent for very long query strings.", ["400"]),
    (415, "Unsupported Media Type", "The body is in a format the resource does not accept.",
     "Sent when <code>Content-Type</code> names a format the server cannot process.", ["content-type"]),
    (416, "Requested Range Not Satisfiable", "No part of the ranges asked for lies within the resource.",
     "Sent for a <code>Range</code> beyond the end of the file.", ["range", "content-range", "206"]),
    (417, "Expectation Failed", "The server cannot meet what <code>Expect</code> asked for.",
     "Sent in place of 100 Continue.", ["expect", "100"]),
    (500, "Internal Server Error", "The server ran into an error it did not foresee.",
     "Sent when a program on the server fails.", ["502", "503"]),
    (501, "Not Implemented", "The server does not know the method at all.",
     "Sent for methods the server has no code for.", ["405"]),
    (502, "Bad Gateway", "A gateway or proxy got an invalid answer from the server behind it.",
     "Sent by proxies when the origin server fails.", ["504", "via"]),
    (503, "Service Unavailable", "The server cannot serve now, from overload or maintenance; <code>Retry-After</code> may say when to try again.",
     "Sent during maintenance or under load.", ["retry-after", "500"]),
    (504, "Gateway Timeout", "A gateway or proxy did not get an answer from the server behind it in time.",
     "Sent by proxies when the origin server is slow.", ["502"]),
    (505, "HTTP Version Not Supported", "The server does not support the HTTP version of the request.",
     "Rare; sent for versions the server refuses.", ["upgrade"]),
]

# key, page, title, kind (who sends it), meaning, example, related
HEADERS = [
    ("accept", "1401.htm", "Accept", "request", "The media types the client can take, each with an optional weight <code>q</code> from 0 to 1.", "Accept: text/html,application/xhtml+xml;q=0.9,*/*;q=0.8", ["content-type", "406", "accept-charset"]),
    ("accept-charset", "1402.htm", "Accept-Charset", "request", "The character sets the client can read.", "Accept-Charset: utf-8, iso-8859-1;q=0.5", ["accept", "content-type"]),
    ("accept-encoding", "1403.htm", "Accept-Encoding", "request", "The content codings (compressions) the client can undo.", "Accept-Encoding: gzip, deflate", ["content-encoding", "te"]),
    ("accept-language", "1404.htm", "Accept-Language", "request", "The natural languages the client prefers, with weights.", "Accept-Language: de-CH, de;q=0.9, en;q=0.5", ["content-language", "accept"]),
    ("accept-ranges", "1405.htm", "Accept-Ranges", "response", "Whether the server accepts range requests for the resource, and in which unit (<code>bytes</code>, or <code>none</code>).", "Accept-Ranges: bytes", ["range", "206"]),
    ("age", "1406.htm", "Age", "response", "How many seconds ago the answer was produced or checked by the origin server, as estimated by a cache.", "Age: 120", ["cache-control", "expires"]),
    ("allow", "1407.htm", "Allow", "response (and PUT requests)", "The methods the resource supports.", "Allow: GET, HEAD, OPTIONS", ["405", "options"]),
    ("authorization", "1408.htm", "Authorization", "request", "The client's credentials for the server, in the scheme the server asked for.", "Authorization: Basic dXNlcjpzZWNyZXQ=", ["www-authenticate", "401"]),
    ("cache-control", "1409.htm", "Cache-Control", "both", "Directives for every cache on the way: whether and how long an answer may be kept and reused (<code>no-cache</code>, <code>no-store</code>, <code>max-age</code>, <code>private</code> and others).", "Cache-Control: max-age=3600, public", ["expires", "pragma", "age"]),
    ("connection", "1410.htm", "Connection", "both", "Options for this connection only, such as <code>close</code> (end it after this message) or <code>keep-alive</code>; also names the fields that end at the next hop.", "Connection: keep-alive", ["upgrade", "te", "trailer"]),
    ("content-encoding", "1411.htm", "Content-Encoding", "both", "The codings applied to the body, in order; the receiver must undo them to get the media type of <code>Content-Type</code>.", "Content-Encoding: gzip", ["accept-encoding", "content-type"]),
    ("content-language", "1412.htm", "Content-Language", "both", "The natural languages of the intended audience of the body.", "Content-Language: fr", ["accept-language"]),
    ("content-length", "1413.htm", "Content-Length", "both", "The length of the body in bytes, so that the receiver knows where the message ends.", "Content-Length: 3495", ["transfer-encoding", "411"]),
    ("content-location", "1414.htm", "Content-Location", "response", "The address of the representation in the body, when it has one of its own apart from the target.", "Content-Location: /index.de.html", ["location"]),
    ("content-md5", "1415.htm", "Content-MD5", "both", "An MD5 digest of the body, to check it arrived intact. Rarely used and since withdrawn.", "Content-MD5: Q2hlY2sgSW50ZWdyaXR5IQ==", ["content-length"]),
    ("content-range", "1416.htm", "Content-Range", "response", "Which bytes of the whole the body holds, and how long the whole is.", "Content-Range: bytes 0-999/8000", ["range", "206", "416"]),
    ("content-type", "1417.htm", "Content-Type", "both", "The media type of the body, often with its character set. Vantor keeps or drops bodies by this field (Capture Options) and files responses into content classes by it.", "Content-Type: text/html; charset=utf-8", ["accept", "content-encoding", "content-length"]),
    ("date", "1418.htm", "Date", "both", "When the message was made, in the HTTP date format (always GMT).", "Date: Tue, 08 Dec 2026 09:14:03 GMT", ["expires", "last-modified"]),
    ("etag", "1419.htm", "ETag", "response", "A tag that changes whenever the representation changes; clients send it back in <code>If-None-Match</code> or <code>If-Match</code>.", "ETag: \"33a64df5\"", ["if-none-match", "if-match", "304"]),
    ("expect", "1420.htm", "Expect", "request", "What the client expects of the server before going on; in practice <code>100-continue</code>: wait for 100 before the body.", "Expect: 100-continue", ["100", "417"]),
    ("expires", "1421.htm", "Expires", "response", "The time after which the answer is stale; <code>Cache-Control: max-age</code> takes precedence.", "Expires: Wed, 09 Dec 2026 09:00:00 GMT", ["cache-control", "date"]),
    ("from", "1422.htm", "From", "request", "An e-mail address of the person (or the operator of the robot) behind the request.", "From: crawler-admin@example.org", ["user-agent"]),
    ("host", "1423.htm", "Host", "request", "The host name and port of the server the request is for; required in HTTP/1.1, so that one address can serve many sites. Vantor puts it in front of the path in a request's caption.", "Host: www.example.org:8080", ["get", "connect"]),
    ("if-match", "1424.htm", "If-Match", "request", "Act only if the resource's current tag is one of those given; protects against overwriting changes made by others.", "If-Match: \"33a64df5\"", ["etag", "412", "put"]),
    ("if-modified-since", "1425.htm", "If-Modified-Since", "request", "Send the body only if the resource changed after this time; otherwise answer 304.", "If-Modified-Since: Mon, 07 Dec 2026 18:00:00 GMT", ["last-modified", "304", "if-none-match"]),
    ("if-none-match", "1426.htm", "If-None-Match", "request", "Send the body only if the current tag is none of those given; otherwise answer 304 (for GET and HEAD).", "If-None-Match: \"33a64df5\"", ["etag", "304", "if-modified-since"]),
    ("if-range", "1427.htm", "If-Range", "request", "Send the ranges asked for only if the resource is unchanged (same tag or date); otherwise send it whole.", "If-Range: \"33a64df5\"", ["range", "etag", "206"]),
    ("if-unmodified-since", "1428.htm", "If-Unmodified-Since", "request", "Act only if the resource did not change after this time; otherwise answer 412.", "If-Unmodified-Since: Mon, 07 Dec 2026 18:00:00 GMT", ["412", "if-match"]),
    ("last-modified", "1429.htm", "Last-Modified", "response", "When the origin server believes the resource last changed.", "Last-Modified: Mon, 07 Dec 2026 18:00:00 GMT", ["if-modified-since", "etag"]),
    ("location", "1430.htm", "Location", "response", "Where to go instead: the target of a redirect (3xx), or the new resource of a 201.", "Location: https://www.example.org/new/", ["301", "302", "201"]),
    ("max-forwards", "1431.htm", "Max-Forwards", "request", "How many more proxies may forward a TRACE or OPTIONS request.", "Max-Forwards: 3", ["trace", "options", "via"]),
    ("pragma", "1432.htm", "Pragma", "request", "Old directives for caches; <code>no-cache</code> there means what <code>Cache-Control: no-cache</code> means.", "Pragma: no-cache", ["cache-control"]),
    ("proxy-authenticate", "1433.htm", "Proxy-Authenticate", "response", "How to authenticate with the proxy, sent with 407.", "Proxy-Authenticate: Basic realm=\"office proxy\"", ["proxy-authorization", "407"]),
    ("proxy-authorization", "1434.htm", "Proxy-Authorization", "request", "The client's credentials for the proxy.", "Proxy-Authorization: Basic dXNlcjpzZWNyZXQ=", ["proxy-authenticate", "407"]),
    ("range", "1435.htm", "Range", "request", "Asks for parts of the resource only, usually byte ranges.", "Range: bytes=500-999", ["content-range", "206", "accept-ranges"]),
    ("referer", "1436.htm", "Referer", "request", "The address of the page that led to this request (a link followed, an image embedded). The misspelling is part of the standard.", "Referer: http://www.example.org/start.html", ["user-agent"]),
    ("retry-after", "1437.htm", "Retry-After", "response", "How long to wait before trying again, in seconds or as a date; sent with 503, 413 or a redirect.", "Retry-After: 120", ["503"]),
    ("server", "1438.htm", "Server", "response", "The software the origin server runs.", "Server: nginx/1.22.1", ["user-agent", "via"]),
    ("te", "1439.htm", "TE", "request", "The transfer codings the client accepts in the response, and whether it wants trailer fields (<code>trailers</code>).", "TE: trailers, deflate", ["transfer-encoding", "trailer"]),
    ("trailer", "1440.htm", "Trailer", "both", "Names the fields that come after a chunked body instead of before it.", "Trailer: Expires", ["transfer-encoding", "te"]),
    ("transfer-encoding", "1441.htm", "Transfer-Encoding", "both", "The codings applied to the message for the transfer; <code>chunked</code> sends the body in pieces, each with its length, when the total length is not known in advance.", "Transfer-Encoding: chunked", ["content-length", "te", "trailer"]),
    ("upgrade", "1442.htm", "Upgrade", "both", "The protocols the client would like to switch to on this connection; with 101 the server names the one it switched to.", "Upgrade: websocket", ["101", "connection"]),
    ("user-agent", "1443.htm", "User-Agent", "request", "The program that makes the request, and often its version and platform.", "User-Agent: curl/7.88.1", ["server", "from"]),
    ("vary", "1444.htm", "Vary", "response", "The request fields that chose this representation; a cache may reuse it only for requests with the same values.", "Vary: Accept-Encoding", ["accept-encoding", "cache-control"]),
    ("via", "1445.htm", "Via", "both", "The proxies and gateways the message passed, with their protocol versions.", "Via: 1.1 proxy.example.org", ["max-forwards", "trace"]),
    ("warning", "1446.htm", "Warning", "both", "Extra information about the state of the message, mostly from caches (such as a stale answer). Since withdrawn.", "Warning: 110 proxy.example.org \"Response is Stale\"", ["age", "cache-control"]),
    ("www-authenticate", "1447.htm", "WWW-Authenticate", "response", "How to authenticate with the server, sent with 401.", "WWW-Authenticate: Basic realm=\"staff\"", ["authorization", "401"]),
    ("cookie", "cook_coo.htm", "Cookie", "request", "The cookies the server set earlier and that apply to this request, as <code>name=value</code> pairs.", "Cookie: session=4f1c9a0e; theme=dark", ["set-cookie"]),
    ("set-cookie", "cook_set.htm", "Set-Cookie", "response", "Stores a cookie in the client, with its lifetime, the paths and domains it applies to and its flags (<code>Secure</code>, <code>HttpOnly</code>).", "Set-Cookie: session=4f1c9a0e; Path=/; HttpOnly", ["cookie"]),
]

STYLE = ("body{font-family:sans-serif;margin:1.2em;max-width:46em} "
         "code,pre{font-family:monospace} pre{background:#eef2f7;padding:.5em} "
         "h1{color:#203060} .nav{font-size:90%} .kind{color:#555}")


def status_page(code):
    return "100%d%02d.htm" % (code // 100, code % 100 + 1)


def pages():
    entries = {}
    for key, page, title, meaning, when, example, related in METHODS:
        entries[key] = dict(page=page, title=title, kind="Request method", meaning=meaning,
                            when=when, example=example, related=related, group="Methods")
    for code, reason, meaning, when, related in STATUS:
        entries[str(code)] = dict(page=status_page(code), title="%d %s" % (code, reason),
                                  kind="Status code, class %dxx" % (code // 100), meaning=meaning,
                                  when=when, example="HTTP/1.1 %d %s" % (code, reason),
                                  related=related, group="Status codes")
    for key, page, title, sender, meaning, example, related in HEADERS:
        who = {"request": "Sent by clients, in requests.",
               "response": "Sent by servers, in responses.",
               "both": "Sent in requests and in responses."}.get(sender, "Sent in " + sender + ".")
        entries[key] = dict(page=page, title=title, kind="Header field", meaning=meaning, when=who,
                            example=example, related=related, group="Header fields")
    return entries


def write(name, title, body):
    with open(os.path.join(HERE, name), "w", encoding="utf-8") as f:
        f.write("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>%s</title>"
                "<style>%s</style></head>\n<body>\n%s\n</body></html>\n"
                % (html.escape(title), STYLE, body))


def main():
    os.makedirs(HERE, exist_ok=True)
    entries = pages()
    assert len(entries) == 98, len(entries)
    for key, e in entries.items():
        links = "".join('<li><a href="%s">%s</a></li>' % (entries[r]["page"], html.escape(entries[r]["title"]))
                        for r in e["related"])
        body = ('<p class="nav"><a href="index.htm">HTTP reference</a> &rsaquo; %s</p>\n'
                '<h1>%s</h1>\n<p class="kind">%s</p>\n'
                '<h2>What it means</h2>\n<p>%s</p>\n'
                '<h2>When it is sent</h2>\n<p>%s</p>\n'
                '<h2>Example</h2>\n<pre>%s</pre>\n'
                '<h2>Related</h2>\n<ul>%s</ul>'
                % (e["group"], html.escape(e["title"]), e["kind"], e["meaning"], e["when"],
                   html.escape(e["example"]), links))
        write(e["page"], e["title"], body)
    sections = []
    for group in ("Methods", "Status codes", "Header fields"):
        items = sorted((e for e in entries.values() if e["group"] == group), key=lambda e: e["page"])
        sections.append("<h2>%s</h2>\n<ul>%s</ul>" % (group, "".join(
            '<li><a href="%s">%s</a></li>' % (e["page"], html.escape(e["title"])) for e in items)))
    write("index.htm", "HTTP reference",
          "<h1>HTTP reference</h1>\n<p>What the request methods, status codes and header fields "
          "of HTTP/1.1 mean. In Vantor, a double click on a line of a message opens the page of "
          "its method, status code or header field.</p>\n" + "\n".join(sections))


if __name__ == "__main__":
    main()
