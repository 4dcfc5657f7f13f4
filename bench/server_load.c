/* Load for the server benchmark: N libmodbus clients (one per thread), each reading 10 holding
 * registers in a loop for a fixed time. Prints the total requests per second. */
#include <modbus.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static int g_port;
static double g_seconds;

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

static void* run(void* out) {
  modbus_t* ctx = modbus_new_tcp("127.0.0.1", g_port);
  long count = 0;
  if (ctx != NULL && modbus_connect(ctx) == 0) {
    modbus_set_slave(ctx, 1);
    uint16_t values[10];
    const double end = now() + g_seconds;
    while (now() < end && modbus_read_registers(ctx, 0, 10, values) == 10) ++count;
    modbus_close(ctx);
  }
  if (ctx != NULL) modbus_free(ctx);
  *(long*)out = count;
  return NULL;
}

int main(int argc, char** argv) {
  g_port = argc > 1 ? atoi(argv[1]) : 1502;
  const int connections = argc > 2 ? atoi(argv[2]) : 1;
  g_seconds = argc > 3 ? atof(argv[3]) : 2.0;
  pthread_t threads[64];
  long counts[64];
  for (int i = 0; i < connections; ++i) pthread_create(&threads[i], NULL, run, &counts[i]);
  long total = 0;
  for (int i = 0; i < connections; ++i) {
    pthread_join(threads[i], NULL);
    total += counts[i];
  }
  printf("%.0f\n", total / g_seconds);
  return 0;
}
