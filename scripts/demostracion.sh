#!/usr/bin/env bash
# The end-to-end demonstration, as an application maker and a user meet the component:
#   1. a throw-away code-signing authority, made here with the openssl command line;
#   2. a build of the component that trusts that authority alone, in build-demo/;
#   3. the sample application Kestra.app (the demo host, with the component embedded),
#      build 1 and build 2, both signed and notarised; build 2 published with `publicar`;
#   4. build 1, started from a Downloads folder, moves itself into the destination folder
#      (test mode: KESTRAVON_DESTINO);
#   5. the installed copy asks a local HTTPS server for build 2, downloads it with a
#      progress bar, verifies it and swaps itself; build 2 starts and says so;
#   6. build 2 shows the floating guide under Xvfb, and a screenshot is saved.
# It runs in a throw-away home folder and trusts the web server's certificate only inside a
# private mount namespace; it leaves nothing behind but its output folder (and the build).
set -euo pipefail
cd "$(dirname "$0")/.."
fuentes=$(pwd)
arbol="$fuentes/build-demo"

salida=$(mktemp -d /tmp/ovelmar-demostracion-XXXXXX)
trabajo="$salida/trabajo" # removed at the end
mkdir -p "$trabajo"
exec > >(tee "$salida/demostracion.txt") 2>&1
tee_pid=$!

# ---- stages and their times ----------------------------------------------------------------
inicio_total=$EPOCHREALTIME
etapa_nombre="" etapa_inicio="" construccion=0
tiempos=()
segundos_desde() { awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }'; }
terminar_etapa() {
  [ -n "$etapa_nombre" ] || return 0
  local s
  s=$(segundos_desde "$etapa_inicio")
  printf -- '-- %s s\n' "$s"
  tiempos+=("$(printf '%7s s  %s' "$s" "$etapa_nombre")")
  etapa_nombre=""
}
etapa() {
  terminar_etapa
  etapa_nombre=$1
  etapa_inicio=$EPOCHREALTIME
  printf '\n== %s\n' "$1"
}
sangrar() { sed -u 's/^/   /'; }

servidor=""
limpiar() {
  local estado=$?
  [ -n "$servidor" ] && kill "$servidor" 2>/dev/null && wait "$servidor" 2>/dev/null
  rm -rf "$trabajo"
  if [ "$estado" -ne 0 ]; then
    printf '\nThe demonstration stopped early (status %s) during: %s\n' "$estado" "${etapa_nombre:-?}"
    printf 'What it printed is in %s/demostracion.txt\n' "$salida"
  fi
  exec >&- 2>&-
  wait "$tee_pid" 2>/dev/null || true
}
trap limpiar EXIT

printf 'Ovelmar: the end-to-end demonstration.\nIts output folder is %s\n' "$salida"

# ---- 1. the authority ------------------------------------------------------------------------
etapa "A throw-away signing authority: root, developer-identity intermediate, developer, notary"
autoridad="$trabajo/autoridad"
mkdir -p "$autoridad"
cat >"$autoridad/firma.cnf" <<'CNF'
[req]
distinguished_name = nombre
[nombre]
[raiz]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[intermedia]
basicConstraints = critical, CA:true, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
1.2.840.113635.100.6.2.6 = ASN1:NULL
[desarrollador]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
1.2.840.113635.100.6.1.13 = ASN1:NULL
[notario]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[web]
subjectAltName = IP:127.0.0.1
CNF
(
  cd "$autoridad"
  for k in raiz intermedia desarrollador notario webca web; do
    openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out $k.key 2>/dev/null
  done
  openssl req -x509 -new -key raiz.key -subj "/O=Ovelmar demo/CN=Demo Root CA" -days 2 \
    -config firma.cnf -extensions raiz -out raiz.pem
  openssl req -x509 -new -key webca.key -subj "/CN=Demo web CA for 127.0.0.1" -days 2 \
    -config firma.cnf -extensions raiz -out webca.pem
  emitir() { # name, subject, issuer
    openssl req -new -key "$1.key" -subj "$2" -config firma.cnf -out "$1.csr"
    openssl x509 -req -in "$1.csr" -CA "$3.pem" -CAkey "$3.key" -CAcreateserial -days 2 \
      -extfile firma.cnf -extensions "$1" -out "$1.pem" 2>/dev/null
  }
  emitir intermedia "/O=Ovelmar demo/CN=Demo Developer ID CA" raiz
  emitir desarrollador "/O=Ovelmar demo/OU=QZ7K4WM2XD/CN=Developer ID Application: Demo (QZ7K4WM2XD)" intermedia
  emitir notario "/O=Ovelmar demo/CN=Demo Notary" raiz
  emitir web "/CN=127.0.0.1" webca
  cat desarrollador.pem intermedia.pem >cadena.pem
  openssl genpkey -algorithm ed25519 -out feed.key
  openssl pkey -in feed.key -pubout -out feed.pub.pem
)
cp "$autoridad/raiz.pem" "$salida/raiz.pem"
cp "$autoridad/feed.pub.pem" "$salida/clave-del-feed.pub.pem"
echo "   root, intermediate (1.2.840.113635.100.6.2.6), developer of team QZ7K4WM2XD"
echo "   (1.2.840.113635.100.6.1.13), notary (time stamping); an Ed25519 key for the feed;"
echo "   a separate web CA and a certificate for the HTTPS server on 127.0.0.1"

# ---- 2. the build ----------------------------------------------------------------------------
etapa "Building the component, trusting that root alone, with the tools and the demo host (build-demo/)"
mkdir -p "$arbol"
# A fixed path whose content changes: the build notices and rebuilds only what embeds it.
cp "$autoridad/raiz.pem" "$arbol/raiz-de-confianza.pem"
cmake -S "$fuentes" -B "$arbol" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  -DOVELMAR_BENCH=OFF -DOVELMAR_RAIZ_DE_CONFIANZA="$arbol/raiz-de-confianza.pem" | sangrar
cmake --build "$arbol" --target demo herramienta_firmar herramienta_publicar | sangrar
construccion=$(segundos_desde "$etapa_inicio")
firmar="$arbol/herramientas/firmar"
publicar="$arbol/herramientas/publicar"

# ---- 3. the sample application ---------------------------------------------------------------
etapa "The sample application Kestra.app, build 1 and build 2, signed and notarised; build 2 published"
hacer_app() { # build, folder
  local app="$2/Kestra.app"
  mkdir -p "$2" "$app/Contents/Frameworks"
  cp -a "$arbol/Kestra.app/." "$app/"
  cp -a "$arbol/Ovelmar.bundle" "$app/Contents/Frameworks/"
  sed -i "/<key>CFBundleVersion<\/key>/{n;s|<string>[^<]*</string>|<string>$1</string>|}" \
    "$app/Contents/Info.plist"
  "$firmar" firmar --clave "$autoridad/desarrollador.key" --cadena "$autoridad/cadena.pem" "$app"
  "$firmar" notarizar --clave "$autoridad/notario.key" --cadena "$autoridad/notario.pem" "$app"
}
hacer_app 1 "$trabajo/build1" | sangrar
hacer_app 2 "$trabajo/build2" | sangrar
puerto=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
"$publicar" --url-base "https://127.0.0.1:$puerto" --clave-ed25519 "$autoridad/feed.key" \
  "$trabajo/build2/Kestra.app" "$salida/publicado" | sangrar
# What a feed's reader would check with the maker's public key.
python3 - "$salida/publicado/Kestra-2.json" "$trabajo/firma.bin" "$trabajo/resumen.bin" <<'PY'
import base64, json, sys
p = json.load(open(sys.argv[1]))
open(sys.argv[2], "wb").write(base64.b64decode(p["firmaDelArchivo"]))
open(sys.argv[3], "wb").write(bytes.fromhex(p["sha256"]))
PY
openssl pkeyutl -verify -pubin -inkey "$salida/clave-del-feed.pub.pem" -rawin \
  -in "$trabajo/resumen.bin" -sigfile "$trabajo/firma.bin" |
  sed 's/^/   firmaDelArchivo checked with the feed'"'"'s public key: /'

# ---- 4. the move -----------------------------------------------------------------------------
etapa "Build 1 is started from the Downloads folder of a throw-away home and moves itself"
export HOME="$trabajo/casa"
export XDG_CONFIG_HOME="$HOME/.config" XDG_CACHE_HOME="$HOME/.cache" XDG_DATA_HOME="$HOME/.local/share"
export KESTRAVON_DESTINO="$HOME/Aplicaciones" # test mode: no prompt, and this is the destination
mkdir -p "$HOME/Downloads" "$KESTRAVON_DESTINO"
cp -a "$trabajo/build1/Kestra.app" "$HOME/Downloads/"
"$HOME/Downloads/Kestra.app/Contents/MacOS/demo" instalarSiHaceFalta | sangrar
instalada="$KESTRAVON_DESTINO/Kestra.app"
[ -x "$instalada/Contents/MacOS/demo" ] || { echo "   the destination holds no Kestra.app"; exit 1; }
echo "   The destination folder $KESTRAVON_DESTINO now holds Kestra.app."

# ---- 5. the update ---------------------------------------------------------------------------
etapa "The installed copy updates itself from https://127.0.0.1:$puerto/ (build 1 -> build 2)"
python3 "$fuentes/scripts/servidor_de_actualizaciones.py" "$salida/publicado" "$puerto" \
  "$autoridad/web.pem" "$autoridad/web.key" --segundos 4 --vida 110 &
servidor=$!
for _ in $(seq 50); do
  (exec 3<>"/dev/tcp/127.0.0.1/$puerto") 2>/dev/null && break
  sleep 0.1
done
# The web CA is trusted only inside this private mount namespace, by everything started in
# it (the host, its swap script, the reopened build 2); the system's own file is untouched.
cat /etc/ssl/certs/ca-certificates.crt "$autoridad/webca.pem" >"$trabajo/confianza.crt"
espacio=(unshare -m)
[ "$(id -u)" -eq 0 ] || espacio=(unshare -r -m) # without root: a user namespace of its own
registro="$trabajo/kestra.txt"                   # what Kestra prints, also when opened by the system
echo "   Kestra build 1 sends actualizar: with the request publicar wrote:"
"${espacio[@]}" sh -c 'mount --bind "$1" /etc/ssl/certs/ca-certificates.crt && shift && exec "$@"' \
  sh "$trabajo/confianza.crt" env KESTRA_COPIA_DE_SALIDA="$registro" \
  "$instalada/Contents/MacOS/demo" -o com.ejemplo.Kestra.actualizacion \
  puedeActualizarse actualizar: "@$salida/publicado/Kestra-2.plist" esperar:60 | sangrar
echo "   Build 1 has quit; the swap script puts build 2 in its place and opens it:"
for _ in $(seq 400); do
  grep -q "build 2 is running" "$registro" 2>/dev/null && break
  sleep 0.1
done
grep -A1 "build 2 is running" "$registro" | sangrar || { echo "   build 2 did not start"; exit 1; }
echo "   Build 2 checks its own signature and reads how the update went:"
"$instalada/Contents/MacOS/demo" firmaPropia esperar:3 firmaPropia ultimaActualizacion | sangrar
kill "$servidor" 2>/dev/null && wait "$servidor" 2>/dev/null || true
servidor=""

# ---- 6. the guide ----------------------------------------------------------------------------
etapa "Build 2 shows the floating guide under Xvfb (openbox, xcompmgr); a screenshot is saved"
cat >"$trabajo/guia.plist" <<'PLIST'
<plist version="1.0"><dict>
  <key>titulo</key><string>Kestra is up to date</string>
  <key>pasos</key><array>
    <string>It moved itself into the Applications folder.</string>
    <string>It downloaded build 2, checked its signature and swapped itself.</string>
    <string>Build 2 is running now.</string>
  </array>
  <key>cerrar</key><string>Done</string>
</dict></plist>
PLIST
NO_AT_BRIDGE=1 GDK_BACKEND=x11 xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
  openbox --sm-disable >/dev/null 2>&1 & wm=$!
  xcompmgr >/dev/null 2>&1 & comp=$!
  sleep 0.5
  "$1" mostrar: "@$2" esperar:3 cerrar & app=$!
  sleep 2
  import -window root "$3"
  wait "$app"
  kill "$comp" "$wm" 2>/dev/null
  wait 2>/dev/null || true
' sh "$instalada/Contents/MacOS/demo" "$trabajo/guia.plist" "$salida/guia.png" | sangrar
[ -s "$salida/guia.png" ] || { echo "   no screenshot was saved"; exit 1; }
echo "   The screenshot is $salida/guia.png"

terminar_etapa
total=$(segundos_desde "$inicio_total")
printf '\n== Done in %s s, %s s of it building. The stages:\n' "$total" "$construccion"
printf '%s\n' "${tiempos[@]}"
cat <<FIN

The output folder $salida holds:
   guia.png                  the floating guide, as the Xvfb screen showed it
   publicado/Kestra-2.zip    build 2 as publicar zipped it, with the request beside it
   publicado/Kestra-2.plist  (property list) and publicado/Kestra-2.json (JSON)
   raiz.pem                  the throw-away root, the only one build-demo/ trusts
   clave-del-feed.pub.pem    the public half of the feed's Ed25519 key
   demostracion.txt          everything printed here
The throw-away home, keys and applications are gone; the system's trust store and
folders were not touched.
FIN
