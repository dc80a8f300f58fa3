#!/bin/sh
# Generates the messaging test certificate chain into $1: a root CA, an intermediate CA, a server leaf for
# 127.0.0.1 and localhost (served with its intermediate), a stray CA with a leaf of its own, a leaf of the
# right chain for another name only (wrong-name-chain.pem), and the client's trust bundle (encrypted PKCS#8 key, leaf, intermediate, root) that the build compiles in.
set -eu
out="$1"
mkdir -p "$out"
cd "$out"
ossl() { openssl "$@" 2>/dev/null; }
ossl req -x509 -newkey rsa:2048 -nodes -keyout root.key -out root.pem -days 3650 -subj "/CN=Test Root CA" \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
ossl req -newkey rsa:2048 -nodes -keyout inter.key -out inter.csr -subj "/CN=Test Intermediate CA"
printf "basicConstraints=critical,CA:TRUE,pathlen:0\nkeyUsage=critical,keyCertSign,cRLSign\n" > inter.ext
ossl x509 -req -in inter.csr -CA root.pem -CAkey root.key -CAcreateserial -out inter.pem -days 3650 -extfile inter.ext
ossl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj "/CN=localhost"
printf "subjectAltName=IP:127.0.0.1,DNS:localhost\nextendedKeyUsage=serverAuth\n" > server.ext
ossl x509 -req -in server.csr -CA inter.pem -CAkey inter.key -CAcreateserial -out server.pem -days 825 -extfile server.ext
cat server.pem inter.pem > server-chain.pem
ossl req -x509 -newkey rsa:2048 -nodes -keyout stray.key -out stray.pem -days 3650 -subj "/CN=Stray CA" \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
ossl req -newkey rsa:2048 -nodes -keyout stray-server.key -out stray-server.csr -subj "/CN=localhost"
ossl x509 -req -in stray-server.csr -CA stray.pem -CAkey stray.key -CAcreateserial -out stray-server.pem -days 825 \
  -extfile server.ext
ossl req -newkey rsa:2048 -nodes -keyout wrong-name.key -out wrong-name.csr -subj "/CN=cloud.invalid"
printf "subjectAltName=DNS:cloud.invalid\nextendedKeyUsage=serverAuth\n" > wrong-name.ext
ossl x509 -req -in wrong-name.csr -CA inter.pem -CAkey inter.key -CAcreateserial -out wrong-name.pem -days 825 \
  -extfile wrong-name.ext
cat wrong-name.pem inter.pem > wrong-name-chain.pem
ossl req -newkey rsa:2048 -nodes -keyout client.key -out client.csr -subj "/CN=client"
ossl x509 -req -in client.csr -CA inter.pem -CAkey inter.key -CAcreateserial -out client.pem -days 825
ossl pkcs8 -topk8 -in client.key -v2 aes-256-cbc -passout pass:testbundle -out client-enc.key
chmod 600 ./*.key
cat client-enc.key client.pem inter.pem root.pem > bundle.pem
