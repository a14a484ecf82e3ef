#!/usr/bin/env bash
# The end-to-end demonstration, in a throw-away home folder:
#  1. the demo host, started from the Downloads folder, moves itself into the
#     destination folder (test mode: KESTRAVON_DESTINO) and says so;
#  2. the installed copy asks for an update served over HTTPS on 127.0.0.1 and shows
#     the states the component publishes while it downloads and checks it.
set -euo pipefail
cd "$(dirname "$0")/.."
raiz=$(pwd)

cmake --preset default >/dev/null
cmake --build --preset default >/dev/null

trabajo=$(mktemp -d /tmp/ovelmar-demo-XXXXXX)
servidor=""
limpiar() {
  [ -n "$servidor" ] && kill "$servidor" 2>/dev/null || true
  rm -rf "$trabajo"
}
trap limpiar EXIT

export HOME="$trabajo/casa"
export XDG_CONFIG_HOME="$HOME/.config" XDG_CACHE_HOME="$HOME/.cache" XDG_DATA_HOME="$HOME/.local/share"
export KESTRAVON_DESTINO="$trabajo/Aplicaciones"
mkdir -p "$HOME/Downloads" "$KESTRAVON_DESTINO"
paquete="$raiz/build/Ovelmar.bundle"

echo "== 1. Started from the Downloads folder"
cp -a build/Kestra.app "$HOME/Downloads/"
"$HOME/Downloads/Kestra.app/Contents/MacOS/demo" "$paquete" instalarSiHaceFalta
echo "-- the destination folder now holds:"
ls "$KESTRAVON_DESTINO"

echo
echo "== 2. The installed copy updates itself over HTTPS"
instalada="$KESTRAVON_DESTINO/Kestra.app"
# The update: the same application with a newer build, zipped.
mkdir -p "$trabajo/web/nueva"
cp -a "$instalada" "$trabajo/web/nueva/Kestra.app"
sed -i 's|<string>7</string>|<string>8</string>|' "$trabajo/web/nueva/Kestra.app/Contents/Info.plist"
(cd "$trabajo/web/nueva" && zip -qry ../Kestra-8.zip Kestra.app)
tamano=$(stat -c %s "$trabajo/web/Kestra-8.zip")
sha=$(sha256sum "$trabajo/web/Kestra-8.zip" | cut -d' ' -f1)

# A certificate authority of our own, trusted only inside this demonstration's private
# mount namespace (its CA bundle is bind-mounted over the system's).
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=Ovelmar demo CA" \
  -keyout "$trabajo/ca.key" -out "$trabajo/ca.crt" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj "/CN=127.0.0.1" \
  -keyout "$trabajo/servidor.key" -out "$trabajo/servidor.csr" 2>/dev/null
printf 'subjectAltName=IP:127.0.0.1\n' > "$trabajo/ext.cnf"
openssl x509 -req -in "$trabajo/servidor.csr" -CA "$trabajo/ca.crt" -CAkey "$trabajo/ca.key" \
  -CAcreateserial -days 1 -extfile "$trabajo/ext.cnf" -out "$trabajo/servidor.crt" 2>/dev/null
cat /etc/ssl/certs/ca-certificates.crt "$trabajo/ca.crt" > "$trabajo/confianza.crt"

puerto=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
python3 - "$trabajo/web" "$puerto" "$trabajo/servidor.crt" "$trabajo/servidor.key" <<'PY' &
import functools, http.server, ssl, sys
carpeta, puerto, cert, clave = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
class Silencioso(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *a): pass
servidor = http.server.ThreadingHTTPServer(("127.0.0.1", puerto), functools.partial(Silencioso, directory=carpeta))
contexto = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
contexto.load_cert_chain(cert, clave)
servidor.socket = contexto.wrap_socket(servidor.socket, server_side=True)
servidor.timeout = 1
for _ in range(120):  # serves for two minutes at most
    servidor.handle_request()
PY
servidor=$!
sleep 1

pedido="<plist version=\"1.0\"><dict>
<key>url</key><string>https://127.0.0.1:$puerto/Kestra-8.zip</string>
<key>sha256</key><string>$sha</string>
<key>build</key><integer>8</integer>
<key>tamano</key><integer>$tamano</integer>
</dict></plist>"
unshare -m sh -c 'mount --bind "$1" /etc/ssl/certs/ca-certificates.crt && shift && exec "$@"' sh \
  "$trabajo/confianza.crt" \
  "$instalada/Contents/MacOS/demo" -o com.ejemplo.Kestra.actualizacion "$paquete" \
  puedeActualizarse "actualizar:" "$pedido" esperar:5 estadoDeLaActualizacion
