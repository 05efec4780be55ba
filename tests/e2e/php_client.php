<?php
// PHP's curl extension for the system-wide capture's end-to-end test:
//   php php_client.php CAFILE URL...   GETs each URL, HTTP/2 where TLS offers it
$ca = $argv[1];
foreach (array_slice($argv, 2) as $url) {
    $handle = curl_init($url);
    curl_setopt($handle, CURLOPT_RETURNTRANSFER, true);
    curl_setopt($handle, CURLOPT_CAINFO, $ca);
    curl_setopt($handle, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_2TLS);
    $body = curl_exec($handle);
    if ($body === false) {
        fwrite(STDERR, curl_error($handle) . "\n");
        exit(1);
    }
    echo curl_getinfo($handle, CURLINFO_HTTP_CODE), " ", strlen($body), "\n";
    curl_close($handle);
}
