/* The reference client for the blocking benchmark: libmodbus reading 10 holding registers in
 * a loop. Prints requests per second. */
#include <modbus.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

int main(int argc, char** argv) {
  const int port = argc > 1 ? atoi(argv[1]) : 1502;
  const int count = argc > 2 ? atoi(argv[2]) : 20000;
  modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
  if (ctx == NULL || modbus_connect(ctx) < 0) return 1;
  modbus_set_slave(ctx, 1);
  uint16_t values[10];
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (int i = 0; i < count; ++i)
    if (modbus_read_registers(ctx, 0, 10, values) != 10) return 2;
  clock_gettime(CLOCK_MONOTONIC, &end);
  const double seconds = (end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9;
  printf("%.0f\n", count / seconds);
  modbus_close(ctx);
  modbus_free(ctx);
  return 0;
}
