// A Go client for the system-wide capture's end-to-end test: GETs each URL in turn with the
// standard library (HTTP/2 where TLS offers it), trusting the certificate file given first.
// Built static by the test: its TLS is crypto/tls, its sockets raw system calls.
package main

import (
	"crypto/tls"
	"crypto/x509"
	"fmt"
	"io"
	"net/http"
	"os"
)

func main() {
	pem, err := os.ReadFile(os.Args[1])
	if err != nil {
		fmt.Fprintln(os.Stderr, err)
		os.Exit(1)
	}
	roots := x509.NewCertPool()
	roots.AppendCertsFromPEM(pem)
	client := &http.Client{Transport: &http.Transport{
		TLSClientConfig:   &tls.Config{RootCAs: roots},
		ForceAttemptHTTP2: true,
	}}
	for _, url := range os.Args[2:] {
		response, err := client.Get(url)
		if err != nil {
			fmt.Fprintln(os.Stderr, err)
			os.Exit(1)
		}
		body, _ := io.ReadAll(response.Body)
		response.Body.Close()
		fmt.Println(response.Proto, response.StatusCode, len(body))
	}
}
