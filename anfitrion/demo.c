/* A small host: loads the Ovelmar bundle, creates the entry object and sends the messages
 * named on the command line, printing every answer and update state in plain words.
 *
 *   demo [-o NOTIFICATION] [-s] [BUNDLE] SELECTOR [ARGUMENT] ...
 *
 * BUNDLE is the path of Ovelmar.bundle; without it the demo loads the one its own
 * application bundle embeds, Contents/Frameworks/Ovelmar.bundle, as a shipped application
 * does. A selector that ends in ':' takes the next word as its argument (XML property-list
 * text, or @FILE to read it from a file). A selector "esperar:N" runs the main queue for
 * N seconds, so that notifications and delayed work arrive, and windows stay up: the guide
 * card lives while the queue runs, so show it with "mostrar:" and keep it with "esperar:N"
 * (its button or Escape close it; "cerrar" closes it from here):
 *
 *   demo BUNDLE mostrar: @guide.plist esperar:30
 *
 * With -o NOTIFICATION (the host's bundle identifier followed by ".actualizacion") every
 * update state the component publishes is printed as it comes.
 *
 * It first says which build runs from where. Started with nothing to send, as the system
 * opens an application (after a move or an update), it only says that and ends. Such a
 * start has no terminal: when KESTRA_COPIA_DE_SALIDA names a file, everything the demo
 * prints is also appended there.
 *
 * Like an application, the demo ends when the component asks it to terminate: after the
 * message that asked, no further one is sent. A true answer of "instalarSiHaceFalta"
 * means that a hand-over to the installed copy has started, so the demo keeps its main
 * queue running until that request comes. With -s the demo registers no application
 * object: the component then ends the process itself, after answering. */
#include <dlfcn.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ovelmar.h"

static int terminando = 0;
static FILE* copia = NULL; /* KESTRA_COPIA_DE_SALIDA */

/* Each line at once: a person watches the progress as it comes. */
static void decir(const char* formato, ...) {
  va_list a;
  va_start(a, formato);
  vprintf(formato, a);
  va_end(a);
  fflush(stdout);
  if (copia) {
    va_start(a, formato);
    vfprintf(copia, formato, a);
    va_end(a);
    fflush(copia);
  }
}

static void activar(void* contexto) {
  (void)contexto;
}

static void terminar(void* contexto) {
  (void)contexto;
  terminando = 1;
}

/* ---- reading the property lists the component answers with ---------------------------- */

/* A flat dictionary or a single value, as far as the demo shows it. */
enum { kEntradas = 24, kTexto = 512 };
typedef struct {
  char tipo[16]; /* the top element: "dict", "true", "false", ...; "" when unreadable */
  int n;
  char clave[kEntradas][64];
  char etiqueta[kEntradas][16]; /* string, integer, real, true, false, ... */
  char valor[kEntradas][kTexto];
} Lista;

static const char* saltarBlancos(const char* p) {
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r') ++p;
  return p;
}

/* Copies XML text up to '<', decoding the five named entities; at most n - 1 bytes. */
static const char* texto(const char* p, char* destino, size_t n) {
  static const char* const entidades[][2] = {
      {"&amp;", "&"}, {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&apos;", "'"}};
  size_t k = 0;
  for (; *p && *p != '<'; ++p) {
    char c = *p;
    for (size_t e = 0; c == '&' && e < sizeof entidades / sizeof entidades[0]; ++e)
      if (strncmp(p, entidades[e][0], strlen(entidades[e][0])) == 0) {
        c = entidades[e][1][0];
        p += strlen(entidades[e][0]) - 1;
      }
    if (k + 1 < n) destino[k++] = c;
  }
  destino[k] = '\0';
  return p;
}

/* One element without children: <x/> or <x>text</x>. Its tag and text; a pointer past it,
 * or NULL when there is none (an element with children included). */
static const char* elemento(const char* p, char* etiqueta, size_t ne, char* valor, size_t nv) {
  p = saltarBlancos(p);
  if (*p != '<' || p[1] == '/') return NULL;
  const char* fin = strpbrk(p + 1, " />");
  if (!fin || (size_t)(fin - p - 1) >= ne) return NULL;
  memcpy(etiqueta, p + 1, (size_t)(fin - p - 1));
  etiqueta[fin - p - 1] = '\0';
  valor[0] = '\0';
  const char* cierre = strchr(fin, '>');
  if (!cierre) return NULL;
  if (cierre[-1] == '/') return cierre + 1;
  p = texto(cierre + 1, valor, nv);
  if (p[0] != '<' || p[1] != '/' || strncmp(p + 2, etiqueta, strlen(etiqueta)) != 0) return NULL;
  p = strchr(p, '>');
  return p ? p + 1 : NULL;
}

static void leerLista(const char* xml, Lista* l) {
  memset(l, 0, sizeof *l);
  const char* p = xml ? strstr(xml, "<plist") : NULL;
  if (!p || !(p = strchr(p, '>'))) return;
  p = saltarBlancos(p + 1);
  char etiqueta[16];
  if (strncmp(p, "<dict>", 6) != 0) {
    if (!elemento(p, l->tipo, sizeof l->tipo, l->valor[0], kTexto)) l->tipo[0] = '\0';
    return;
  }
  p += 6;
  while (l->n < kEntradas &&
         (p = elemento(p, etiqueta, sizeof etiqueta, l->clave[l->n], sizeof l->clave[0])) &&
         strcmp(etiqueta, "key") == 0) {
    if (!(p = elemento(p, l->etiqueta[l->n], sizeof l->etiqueta[0], l->valor[l->n], kTexto)))
      break; /* a value with children: not one the demo shows */
    ++l->n;
  }
  strcpy(l->tipo, "dict");
}

static const char* valorDe(const Lista* l, const char* clave) {
  for (int i = 0; i < l->n; ++i)
    if (strcmp(l->clave[i], clave) == 0) return l->valor[i];
  return NULL;
}

static const char* etiquetaDe(const Lista* l, const char* clave) {
  for (int i = 0; i < l->n; ++i)
    if (strcmp(l->clave[i], clave) == 0) return l->etiqueta[i];
  return NULL;
}

/* ---- saying it in plain words ----------------------------------------------------------- */

static void bytes(char* destino, size_t n, double b) {
  if (b >= 1e6)
    snprintf(destino, n, "%.1f MB", b / 1e6);
  else
    snprintf(destino, n, "%.0f KB", b / 1e3);
}

static const char* porQue(const char* motivo) {
  static const char* const motivos[][2] = {
      {"fuera_de_aplicaciones", "the application does not run from its installed place"},
      {"red", "the download failed or the archive is incomplete"},
      {"sha", "the archive's SHA-256 digest is not the announced one"},
      {"firma",
       "the unpacked application is not the announced build, not newer, or not "
       "signed and notarised by the maker"},
      {"instalar", "unpacking or the swap failed"},
      {"cancelado", "the administrator password request was cancelled"},
  };
  for (size_t i = 0; i < sizeof motivos / sizeof motivos[0]; ++i)
    if (strcmp(motivo, motivos[i][0]) == 0) return motivos[i][1];
  return "a reason this demo does not know";
}

/* An update state on one line: the phase as the component names it, then what it means. */
static void describirEstado(const Lista* l, char* destino, size_t n) {
  const char* fase = valorDe(l, "fase");
  const char* build = valorDe(l, "build");
  char b[48] = "";
  if (build) snprintf(b, sizeof b, "build %s  ", build);
  if (!fase) {
    snprintf(destino, n, "a state without a phase");
  } else if (strcmp(fase, "nada") == 0) {
    snprintf(destino, n, "nada         no update asked for yet");
  } else if (strcmp(fase, "descargando") == 0) {
    const char* progreso = valorDe(l, "progreso");
    double f = progreso ? atof(progreso) : 0;
    if (!(f >= 0)) f = 0;
    if (f > 1) f = 1;
    char barra[21];
    for (int i = 0; i < 20; ++i) barra[i] = i < (int)(f * 20 + 0.5) ? '#' : '-';
    barra[20] = '\0';
    char bajado[24], total[24];
    bytes(bajado, sizeof bajado, valorDe(l, "bajado") ? atof(valorDe(l, "bajado")) : 0);
    bytes(total, sizeof total, valorDe(l, "total") ? atof(valorDe(l, "total")) : 0);
    snprintf(destino, n, "descargando  %s[%s] %3d%%  %s of %s", b, barra, (int)(f * 100), bajado,
             total);
  } else if (strcmp(fase, "comprobando") == 0) {
    snprintf(destino, n,
             "comprobando  %schecking its digest, the unpacked bundle and its signature", b);
  } else if (strcmp(fase, "instalando") == 0) {
    snprintf(destino, n, "instalando   %sputting it in place", b);
  } else if (strcmp(fase, "reabriendo") == 0) {
    snprintf(destino, n,
             "reabriendo   %shanded to the swap script, which opens it once this copy "
             "has quit",
             b);
  } else if (strcmp(fase, "fallo") == 0) {
    const char* motivo = valorDe(l, "motivo");
    snprintf(destino, n, "fallo        %sfailed: %s (%s)", b, motivo ? porQue(motivo) : "no reason",
             motivo ? motivo : "");
  } else {
    snprintf(destino, n, "%s  %s(a phase this demo does not know)", fase, b);
  }
}

/* The answer of firmaPropia. */
static void describirFirma(const Lista* l, char* destino, size_t n) {
  const char* valida = etiquetaDe(l, "valida");
  if (!valorDe(l, "estado"))
    snprintf(destino, n, "still being checked");
  else if (valida && strcmp(valida, "true") == 0)
    snprintf(destino, n, "validly signed by the maker's team and notarised");
  else
    snprintf(destino, n, "NOT validly signed (status %s): %s", valorDe(l, "estado"),
             valorDe(l, "descripcion"));
}

static void describir(const char* xml, char* destino, size_t n) {
  Lista l;
  leerLista(xml, &l);
  if (!xml)
    snprintf(destino, n, "(no answer)");
  else if (strcmp(l.tipo, "true") == 0)
    snprintf(destino, n, "yes");
  else if (strcmp(l.tipo, "false") == 0)
    snprintf(destino, n, "no");
  else if (strcmp(l.tipo, "dict") == 0 && valorDe(&l, "fase"))
    describirEstado(&l, destino, n);
  else if (strcmp(l.tipo, "dict") == 0 && valorDe(&l, "resultado"))
    snprintf(destino, n, "the last update, build %s to build %s: %s, %.1f s before this start",
             valorDe(&l, "desde"), valorDe(&l, "build"),
             strcmp(valorDe(&l, "resultado"), "instalada") == 0 ? "installed" : "not installed",
             valorDe(&l, "segundos") ? atof(valorDe(&l, "segundos")) : 0.0);
  else if (strcmp(l.tipo, "dict") == 0 && valorDe(&l, "descripcion"))
    describirFirma(&l, destino, n);
  else if (strcmp(l.tipo, "dict") == 0 && l.n == 0)
    snprintf(destino, n, "(nothing recorded)");
  else
    snprintf(destino, n, "(an answer this demo does not show)");
}

static void avisado(const char* informacion, void* contexto) {
  (void)contexto;
  char linea[1024];
  describir(informacion, linea, sizeof linea);
  decir("  update state: %s\n", linea);
}

/* ---- the demo itself -------------------------------------------------------------------- */

static char* leerArchivo(const char* ruta) {
  FILE* f = fopen(ruta, "rb");
  if (!f) return NULL;
  size_t capacidad = 4096, largo = 0;
  char* texto = malloc(capacidad);
  size_t n;
  while (texto && (n = fread(texto + largo, 1, capacidad - largo - 1, f)) > 0) {
    largo += n;
    if (capacidad - largo < 2) {
      if (capacidad >= ((size_t)64 << 20)) { /* no argument is that large: /dev/zero, say */
        free(texto);
        fclose(f);
        return NULL;
      }
      char* mayor = realloc(texto, capacidad *= 2);
      if (!mayor) free(texto);
      texto = mayor;
    }
  }
  fclose(f);
  if (texto) texto[largo] = '\0';
  return texto;
}

/* Cuts the last path component off; whether it was `nombre` (any when NULL). */
static int subir(char* ruta, const char* nombre) {
  char* barra = strrchr(ruta, '/');
  if (!barra || barra == ruta) return 0;
  int era = !nombre || strcmp(barra + 1, nombre) == 0;
  *barra = '\0';
  return era;
}

/* The application bundle around this executable (X.app/Contents/MacOS/x); "" if none. */
static void paquetePropio(char* paquete, size_t n) {
  ssize_t largo = readlink("/proc/self/exe", paquete, n - 1);
  paquete[largo > 0 ? largo : 0] = '\0';
  if (!(subir(paquete, NULL) && subir(paquete, "MacOS") && subir(paquete, "Contents")))
    paquete[0] = '\0';
}

static void presentarse(const char* paquete) {
  char ruta[PATH_MAX + 32];
  snprintf(ruta, sizeof ruta, "%s/Contents/Info.plist", paquete);
  char* info = paquete[0] ? leerArchivo(ruta) : NULL;
  Lista l;
  leerLista(info, &l);
  free(info);
  const char* nombre = valorDe(&l, "CFBundleDisplayName");
  if (!nombre || !*nombre) nombre = valorDe(&l, "CFBundleName");
  const char* build = valorDe(&l, "CFBundleVersion");
  if (!paquete[0])
    decir("The demo host is running outside an application bundle.\n");
  else if (nombre)
    decir("%s build %s is running from %s\n", nombre, build ? build : "(none)", paquete);
  else
    decir("The demo host is running from %s, whose Info.plist it cannot read.\n", paquete);
}

static int esPaqueteOvelmar(const char* ruta) {
  char biblioteca[PATH_MAX + 32];
  struct stat st;
  snprintf(biblioteca, sizeof biblioteca, "%s/Contents/MacOS/Ovelmar", ruta);
  return stat(biblioteca, &st) == 0 && S_ISREG(st.st_mode);
}

static int uso(const char* programa) {
  fprintf(stderr,
          "usage: %s [-o NOTIFICATION] [-s] [BUNDLE] SELECTOR [ARGUMENT] ...\n"
          "  A selector that ends in ':' takes the next word: an XML property list, or @FILE.\n"
          "  esperar:N runs the main queue for N seconds. Without BUNDLE the demo loads its\n"
          "  own Contents/Frameworks/Ovelmar.bundle. For example, the guide card for 30\n"
          "  seconds (its button or Escape close it):\n"
          "    %s BUNDLE mostrar: '<plist><dict><key>titulo</key><string>Hello</string>"
          "<key>pasos</key><array><string>Open Settings</string></array></dict></plist>'"
          " esperar:30\n",
          programa, programa);
  return 2;
}

int main(int argc, char** argv) {
  const char* aviso = NULL;
  int sinAplicacion = 0;
  int i = 1;
  const char* rutaDeCopia = getenv("KESTRA_COPIA_DE_SALIDA");
  if (rutaDeCopia && *rutaDeCopia) copia = fopen(rutaDeCopia, "a");
  for (;;) {
    if (i + 1 < argc && strcmp(argv[i], "-o") == 0) {
      aviso = argv[i + 1];
      i += 2;
    } else if (i < argc && strcmp(argv[i], "-s") == 0) {
      sinAplicacion = 1;
      ++i;
    } else if (i < argc && (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0)) {
      return uso(argv[0]);
    } else {
      break;
    }
  }
  char propio[PATH_MAX];
  paquetePropio(propio, sizeof propio);
  presentarse(propio);
  if (argc == 1) {
    decir("Started with no messages to send, as the system opens an application: it ends.\n");
    return 0;
  }

  char ruta[PATH_MAX + 64];
  if (i < argc && esPaqueteOvelmar(argv[i]))
    snprintf(ruta, sizeof ruta, "%s/Contents/MacOS/Ovelmar", argv[i++]);
  else if (propio[0])
    snprintf(ruta, sizeof ruta, "%s/Contents/Frameworks/Ovelmar.bundle/Contents/MacOS/Ovelmar",
             propio);
  else
    return uso(argv[0]);
  void* biblioteca = dlopen(ruta, RTLD_NOW | RTLD_LOCAL);
  if (!biblioteca) {
    fprintf(stderr, "cannot load %s: %s\n", ruta, dlerror());
    return 1;
  }
  __typeof__(&ov_clase) clase = (__typeof__(&ov_clase))dlsym(biblioteca, "ov_clase");
  __typeof__(&ov_crear) crear = (__typeof__(&ov_crear))dlsym(biblioteca, "ov_crear");
  __typeof__(&ov_enviar) enviar = (__typeof__(&ov_enviar))dlsym(biblioteca, "ov_enviar");
  __typeof__(&ov_liberar) liberar = (__typeof__(&ov_liberar))dlsym(biblioteca, "ov_liberar");
  __typeof__(&ov_soltar) soltar = (__typeof__(&ov_soltar))dlsym(biblioteca, "ov_soltar");
  __typeof__(&ov_observar) observar = (__typeof__(&ov_observar))dlsym(biblioteca, "ov_observar");
  __typeof__(&ov_ejecutar_bucle) bucle =
      (__typeof__(&ov_ejecutar_bucle))dlsym(biblioteca, "ov_ejecutar_bucle");
  __typeof__(&ov_establecer_aplicacion) aplicacion =
      (__typeof__(&ov_establecer_aplicacion))dlsym(biblioteca, "ov_establecer_aplicacion");
  if (!clase || !crear || !enviar || !liberar || !soltar || !observar || !bucle || !aplicacion) {
    fprintf(stderr, "the bundle lacks functions of ovelmar.h\n");
    return 1;
  }
  void* ovelmar = clase("Ovelmar") ? crear(clase("Ovelmar")) : NULL;
  if (!ovelmar) {
    fprintf(stderr, "the bundle has no class Ovelmar\n");
    return 1;
  }
  if (aviso) observar(aviso, avisado, NULL);
  if (!sinAplicacion) aplicacion(activar, terminar, NULL);

  for (; i < argc && !terminando; ++i) {
    const char* selector = argv[i];
    if (strncmp(selector, "esperar:", 8) == 0) {
      double segundos = atof(selector + 8);
      /* Not a number, negative or endless: a bounded wait all the same. */
      if (!(segundos >= 0)) segundos = 0;
      if (segundos > 3600) segundos = 3600;
      for (double hecho = 0; hecho < segundos && !terminando; hecho += 0.1)
        bucle(segundos - hecho < 0.1 ? segundos - hecho : 0.1);
      continue;
    }
    const char* argumento = NULL;
    char* leido = NULL;
    size_t largo = strlen(selector);
    if (largo > 0 && selector[largo - 1] == ':' && i + 1 < argc) {
      argumento = argv[++i];
      /* A file that cannot be read sends no argument. */
      if (argumento[0] == '@') argumento = leido = leerArchivo(argumento + 1);
    }
    char* respuesta = enviar(ovelmar, selector, argumento);
    char linea[1024];
    describir(respuesta, linea, sizeof linea);
    decir("%s -> %s\n", selector, linea);
    /* The component ends the process itself 1.5 s after asking; 60 s bounds a hand-over
     * that never answers. */
    if (strcmp(selector, "instalarSiHaceFalta") == 0 && strcmp(linea, "yes") == 0)
      for (int n = 0; n < 600 && !terminando; ++n) bucle(0.1);
    liberar(respuesta);
    free(leido);
  }
  soltar(ovelmar);
  return 0;
}
