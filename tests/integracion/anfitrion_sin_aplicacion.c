/* A host that registers no application callbacks and writes with stdio without flushing:
 * the component must answer it, then end it without losing that output.
 *
 *   anfitrion_sin_aplicacion BUNDLE bucle|espera|cerrojo
 *
 * bucle runs the main queue, espera never does, cerrojo never does and has a thread hold
 * the lock of standard output for good. It ends with 4 if nobody ends it. */
#include <dlfcn.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

static void dormir(void) {
  struct timespec t = {0, 100000000};
  nanosleep(&t, NULL);
}

static void* retener(void* nada) {
  flockfile(stdout);
  for (int i = 0; i < 600; ++i) dormir();
  return nada;
}

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  char ruta[4096];
  snprintf(ruta, sizeof ruta, "%s/Contents/MacOS/Ovelmar", argv[1]);
  void* b = dlopen(ruta, RTLD_NOW | RTLD_LOCAL);
  if (!b) return 3;
  void* (*clase)(const char*) = (void* (*)(const char*))dlsym(b, "ov_clase");
  void* (*crear)(void*) = (void* (*)(void*))dlsym(b, "ov_crear");
  char* (*enviar)(void*, const char*, const char*) =
      (char* (*)(void*, const char*, const char*))dlsym(b, "ov_enviar");
  void (*bucle)(double) = (void (*)(double))dlsym(b, "ov_ejecutar_bucle");
  if (!clase || !crear || !enviar || !bucle) return 3;
  char* respuesta = enviar(crear(clase("Ovelmar")), "instalarSiHaceFalta", NULL);
  printf("respuesta: %s", respuesta ? respuesta : "(nada)\n"); /* a pipe: stays buffered */
  pthread_t hilo;
  if (strcmp(argv[2], "cerrojo") == 0) pthread_create(&hilo, NULL, retener, NULL);
  for (int i = 0; i < 600; ++i) strcmp(argv[2], "bucle") == 0 ? bucle(0.1) : dormir();
  return 4;
}
