/* A small host: loads the Ovelmar bundle by path, creates the entry object and sends the
 * messages named on the command line, printing every answer and notification.
 *
 *   demo [-o NOTIFICATION] [-s] BUNDLE SELECTOR [ARGUMENT] ...
 *
 * A selector that ends in ':' takes the next word as its argument (XML property-list
 * text, or @FILE to read it from a file). A selector "esperar:N" runs the main queue for
 * N seconds, so that notifications and delayed work arrive, and windows stay up: the guide
 * card lives while the queue runs, so show it with "mostrar:" and keep it with "esperar:N"
 * (its button or Escape close it; "cerrar" closes it from here):
 *
 *   demo BUNDLE mostrar: @guide.plist esperar:30
 *
 * Like an application, the demo ends when the component asks it to terminate: after the
 * message that asked, no further one is sent. A true answer of "instalarSiHaceFalta"
 * means that a hand-over to the installed copy has started, so the demo keeps its main
 * queue running until that request comes. With -s the demo registers no application
 * object: the component then ends the process itself, after answering. */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

typedef void* (*ClaseFn)(const char*);
typedef void* (*CrearFn)(void*);
typedef char* (*EnviarFn)(void*, const char*, const char*);
typedef void (*LiberarFn)(char*);
typedef void (*SoltarFn)(void*);
typedef unsigned long (*ObservarFn)(const char*, void (*)(const char*, void*), void*);
typedef void (*BucleFn)(double);
typedef void (*AplicacionFn)(void (*)(void*), void (*)(void*), void*);

static int terminando = 0;

static void activar(void* contexto) {
  (void)contexto;
}

static void terminar(void* contexto) {
  (void)contexto;
  terminando = 1;
}

static void avisado(const char* informacion, void* contexto) {
  printf("notificación %s:\n%s", (const char*)contexto, informacion);
}

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

int main(int argc, char** argv) {
  const char* aviso = NULL;
  int sinAplicacion = 0;
  int i = 1;
  for (;;) {
    if (i + 1 < argc && strcmp(argv[i], "-o") == 0) {
      aviso = argv[i + 1];
      i += 2;
    } else if (i < argc && strcmp(argv[i], "-s") == 0) {
      sinAplicacion = 1;
      ++i;
    } else {
      break;
    }
  }
  if (i >= argc) {
    fprintf(stderr,
            "uso: %s [-o NOTIFICACIÓN] [-s] PAQUETE SELECTOR [ARGUMENTO] ...\n"
            "  Un selector que acaba en ':' toma la palabra siguiente: una lista de propiedades\n"
            "  XML, o @ARCHIVO. esperar:N corre la cola principal N segundos. Por ejemplo, la\n"
            "  tarjeta de guía durante 30 segundos (se cierra con su botón o con Escape):\n"
            "    %s PAQUETE mostrar: '<plist><dict><key>titulo</key><string>Hola</string>"
            "<key>pasos</key><array><string>Abre Ajustes</string></array></dict></plist>'"
            " esperar:30\n",
            argv[0], argv[0]);
    return 2;
  }
  char ruta[4096];
  snprintf(ruta, sizeof ruta, "%s/Contents/MacOS/Ovelmar", argv[i++]);
  void* biblioteca = dlopen(ruta, RTLD_NOW | RTLD_LOCAL);
  if (!biblioteca) {
    fprintf(stderr, "no se puede cargar %s: %s\n", ruta, dlerror());
    return 1;
  }
  ClaseFn clase = (ClaseFn)dlsym(biblioteca, "ov_clase");
  CrearFn crear = (CrearFn)dlsym(biblioteca, "ov_crear");
  EnviarFn enviar = (EnviarFn)dlsym(biblioteca, "ov_enviar");
  LiberarFn liberar = (LiberarFn)dlsym(biblioteca, "ov_liberar");
  SoltarFn soltar = (SoltarFn)dlsym(biblioteca, "ov_soltar");
  ObservarFn observar = (ObservarFn)dlsym(biblioteca, "ov_observar");
  BucleFn bucle = (BucleFn)dlsym(biblioteca, "ov_ejecutar_bucle");
  AplicacionFn aplicacion = (AplicacionFn)dlsym(biblioteca, "ov_establecer_aplicacion");
  if (!clase || !crear || !enviar || !liberar || !soltar || !observar || !bucle || !aplicacion) {
    fprintf(stderr, "al paquete le faltan funciones\n");
    return 1;
  }
  void* ovelmar = clase("Ovelmar") ? crear(clase("Ovelmar")) : NULL;
  if (!ovelmar) {
    fprintf(stderr, "el paquete no tiene la clase Ovelmar\n");
    return 1;
  }
  if (aviso) observar(aviso, avisado, (void*)aviso);
  if (!sinAplicacion) aplicacion(activar, terminar, NULL);

  for (; i < argc && !terminando; ++i) {
    const char* selector = argv[i];
    if (strncmp(selector, "esperar:", 8) == 0) {
      double segundos = atof(selector + 8);
      /* Not a number, negative or endless: a bounded wait all the same. */
      if (!(segundos >= 0)) segundos = 0;
      if (segundos > 3600) segundos = 3600;
      bucle(segundos);
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
    /* Buffered as stdio does it: the component flushes it on every way it ends us. */
    printf("%s -> %s%s", selector, respuesta ? "\n" : "(nada)\n", respuesta ? respuesta : "");
    /* The component ends the process itself 1.5 s after asking; 60 s bounds a hand-over
     * that never answers. */
    if (strcmp(selector, "instalarSiHaceFalta") == 0 && respuesta && strstr(respuesta, "<true/>"))
      for (int n = 0; n < 600 && !terminando; ++n) bucle(0.1);
    liberar(respuesta);
    free(leido);
  }
  soltar(ovelmar);
  return 0;
}
