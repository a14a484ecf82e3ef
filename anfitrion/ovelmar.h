/* The C interface a host uses to reach the Ovelmar component inside its bundle.
 *
 * Load Ovelmar.bundle/Contents/MacOS/Ovelmar with dlopen and find these functions with
 * dlsym. Arguments and answers are XML property-list texts; a Boolean answer is a
 * property list holding <true/> or <false/>. Every answer that is not NULL must be freed
 * with ov_liberar.
 *
 * Threads. The main thread is the process's initial thread, the one whose GLib default
 * main context runs the component's main queue.
 *   Main thread only: ov_soltar; ov_ejecutar_bucle; ov_enviar with "instalarSiHaceFalta",
 *     "puedeActualizarse", "actualizar:", "ultimaActualizacion", "firmaPropia" and every
 *     other selector not named below. The component checks the five named ones and
 *     ov_ejecutar_bucle: called from another thread they stop the process with a message
 *     on standard error.
 *   Any thread: ov_clase, ov_crear, ov_liberar, ov_observar, ov_dejar_de_observar,
 *     ov_establecer_aplicacion, and ov_enviar with "estadoDeLaActualizacion" (a consistent
 *     copy of the state, even while the main thread changes it) or with a selector the
 *     object does not know.
 * Observers and the application callbacks are called on the main thread. */
#ifndef OVELMAR_H
#define OVELMAR_H

#ifdef __cplusplus
extern "C" {
#endif

#define OV_EXPORTAR __attribute__((visibility("default")))

/* The class of that name ("Ovelmar"), or NULL for a class the component does not have. */
OV_EXPORTAR void* ov_clase(const char* nombre);
/* A new instance of the class (alloc and init). */
OV_EXPORTAR void* ov_crear(void* clase);
/* Sends a message by selector ("actualizar:", "puedeActualizarse", ...). `argumento` is
 * a dictionary as XML property-list text, or NULL; anything that is not a readable
 * dictionary counts as an empty one. The answer is NULL for a message without a result
 * and for a selector the object does not know, which changes nothing.
 *
 * "mostrar:" shows the floating guide card, replacing any card shown: its argument has
 * "titulo" (the heading), "pasos" (an array of texts, numbered from 1) and "cerrar" (the
 * button's title, "OK" when absent). The card floats above every window without taking
 * the keyboard focus, can be dragged, and closes with its button or Escape once clicked.
 * "cerrar" closes it; nothing happens when no card is shown. Neither answers anything,
 * and without a display neither does anything. The card lives while the main queue runs
 * (the host's GLib main loop or ov_ejecutar_bucle).
 *
 * "ultimaActualizacion" (no argument) tells what became of the last update the component
 * handed to its swap script, once the process that handed it over has ended: a dictionary
 * with "build" (the build it was to install), "desde" (the build that ran then),
 * "resultado" ("instalada" when this process runs from the installed place with that
 * build, else "sin_instalar") and "segundos" (a real: from the hand-over to this
 * process's start). It is empty when there is nothing to tell: no update handed over yet,
 * a record of another application or older than the running build, the process that
 * handed it over still running, or an update started since ("actualizar:" accepted).
 * Ask it at start, before sending "actualizar:".
 *
 * "firmaPropia" (no argument) checks the running application's own bundle against the
 * signing requirement its updates must meet (its identifier and the maker's team), so a
 * broken signing setup shows at once rather than as "firma" on every update. The check
 * runs once per process in the background, starting with the first call; each call
 * answers at once with "valida" (a Boolean), "descripcion" (a text) and, once the check
 * has ended, "estado" (the status, 0 when valid). Without "estado", ask again later.
 *
 * "actualizar:" also takes "firmaDelArchivo" when the host's Info.plist holds
 * "OvelmarClavePublica" (the base64 of a 32-byte Ed25519 public key): the base64 Ed25519
 * signature over the 32 bytes of the archive's SHA-256. With such a key, an update whose
 * signature is missing, malformed or wrong, or a key that is not one, fails with "firma"
 * before the archive is unpacked. Without the key the signature is ignored. */
OV_EXPORTAR char* ov_enviar(void* objeto, const char* selector, const char* argumento);
OV_EXPORTAR void ov_liberar(char* texto);
/* Releases an instance made by ov_crear. */
OV_EXPORTAR void ov_soltar(void* objeto);

/* Calls `funcion` on the main thread for every notification of that name, with its user
 * information as XML property-list text. Returns a token for ov_dejar_de_observar, or 0
 * when `nombre` or `funcion` is NULL. */
OV_EXPORTAR unsigned long ov_observar(const char* nombre,
                                      void (*funcion)(const char* informacion, void* contexto),
                                      void* contexto);
/* After it returns, `funcion` is not running on another thread and is never called again
 * for this token, so `contexto` may be freed. It may be called from inside `funcion`,
 * but not while holding a lock that `funcion` waits for. */
OV_EXPORTAR void ov_dejar_de_observar(unsigned long token);

/* The host's application object: how to bring it forward and how to end it. Without a
 * terminate function, the component's terminate request returns (so a message such as
 * "instalarSiHaceFalta" still answers) and the process then ends normally, with status
 * 0, from the main queue: at the host's next turn of ov_ejecutar_bucle or of its GLib
 * main loop. Whatever the host does, the component ends the process 1.5 s after that
 * request, with status 0, once the C library's output streams are flushed. */
OV_EXPORTAR void ov_establecer_aplicacion(void (*activar)(void*), void (*terminar)(void*),
                                          void* contexto);

/* Runs the main queue for that many seconds, for hosts without a GLib main loop. */
OV_EXPORTAR void ov_ejecutar_bucle(double segundos);

#ifdef __cplusplus
}
#endif

#endif
