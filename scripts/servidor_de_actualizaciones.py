#!/usr/bin/env python3
"""A static HTTPS server for update archives, on 127.0.0.1 only, for the demonstration.

    servidor_de_actualizaciones.py FOLDER PORT CERT.pem KEY.pem [--segundos S] [--vida S]

Serves the files directly inside FOLDER (GET and HEAD) with single byte-range requests
(206 with Content-Range, 416 when unsatisfiable, If-Range honoured), as a resumed download
needs. --segundos spreads each body over about that many seconds, so that a person can
watch the progress; --vida ends the server after that many seconds whatever happens.
One line per request goes to standard error.
"""

import argparse
import email.utils
import http.server
import os
import re
import ssl
import sys
import threading
import time


def main():
    a = argparse.ArgumentParser()
    a.add_argument("carpeta")
    a.add_argument("puerto", type=int)
    a.add_argument("cert")
    a.add_argument("clave")
    a.add_argument("--segundos", type=float, default=0)
    a.add_argument("--vida", type=float, default=120)
    o = a.parse_args()
    carpeta = os.path.realpath(o.carpeta)

    class Manejador(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, formato, *args):
            pass

        def do_HEAD(self):
            self.servir(cuerpo=False)

        def do_GET(self):
            self.servir(cuerpo=True)

        def servir(self, cuerpo):
            nombre = self.path.split("?", 1)[0].lstrip("/")
            ruta = os.path.join(carpeta, nombre)
            # Only files directly in the folder: no "..", no sub-folders, no links out.
            if "/" in nombre or nombre in ("", ".", "..") or not os.path.isfile(ruta):
                return self.responder(404, {}, b"not found\n")
            st = os.stat(ruta)
            etiqueta = '"%x-%x"' % (st.st_size, int(st.st_mtime))
            modificado = email.utils.formatdate(st.st_mtime, usegmt=True)
            desde, hasta, estado = 0, st.st_size - 1, 200
            rango = self.headers.get("Range")
            si = self.headers.get("If-Range")
            if rango and (si is None or si in (etiqueta, modificado)):
                m = re.fullmatch(r"bytes=(\d*)-(\d*)", rango.strip())
                if m and (m.group(1) or m.group(2)):
                    if m.group(1):
                        desde = int(m.group(1))
                        if m.group(2):
                            hasta = min(int(m.group(2)), st.st_size - 1)
                    else:
                        desde = max(st.st_size - int(m.group(2)), 0)
                    if desde >= st.st_size or desde > hasta:
                        return self.responder(
                            416, {"Content-Range": "bytes */%d" % st.st_size}, b"")
                    estado = 206
            cabeceras = {
                "Content-Type": "application/zip",
                "Content-Length": str(hasta - desde + 1),
                "Accept-Ranges": "bytes",
                "ETag": etiqueta,
                "Last-Modified": modificado,
            }
            if estado == 206:
                cabeceras["Content-Range"] = "bytes %d-%d/%d" % (desde, hasta, st.st_size)
            self.send_response(estado)
            for k, v in cabeceras.items():
                self.send_header(k, v)
            self.end_headers()
            inicio = time.monotonic()
            enviado = 0
            if cuerpo:
                largo = hasta - desde + 1
                trozo = max(64 * 1024, largo // 100 or 1)
                pausa = o.segundos * trozo / largo if largo else 0
                with open(ruta, "rb") as f:
                    f.seek(desde)
                    while enviado < largo:
                        datos = f.read(min(trozo, largo - enviado))
                        if not datos:
                            break
                        try:
                            self.wfile.write(datos)
                        except OSError:
                            break
                        enviado += len(datos)
                        if pausa:
                            time.sleep(pausa)
            print("  server: %s /%s -> %d, %d bytes in %.1f s" %
                  (self.command, nombre, estado, enviado, time.monotonic() - inicio),
                  file=sys.stderr, flush=True)

        def responder(self, estado, cabeceras, cuerpo):
            self.send_response(estado)
            for k, v in cabeceras.items():
                self.send_header(k, v)
            self.send_header("Content-Length", str(len(cuerpo)))
            self.end_headers()
            if self.command != "HEAD":
                self.wfile.write(cuerpo)
            print("  server: %s %s -> %d" % (self.command, self.path, estado),
                  file=sys.stderr, flush=True)

    servidor = http.server.ThreadingHTTPServer(("127.0.0.1", o.puerto), Manejador)
    servidor.daemon_threads = True
    contexto = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    contexto.load_cert_chain(o.cert, o.clave)
    servidor.socket = contexto.wrap_socket(servidor.socket, server_side=True)
    threading.Timer(o.vida, servidor.shutdown).start()
    servidor.serve_forever()


if __name__ == "__main__":
    main()
