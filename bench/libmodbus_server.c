/* A fast independent Modbus TCP server for the benchmarks, built on libmodbus: serves one
 * connection at a time, forever, with 1000 of each kind of register and coil. */
#include <errno.h>
#include <modbus.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char** argv) {
  const int port = argc > 1 ? atoi(argv[1]) : 1502;
  modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
  modbus_mapping_t* map = modbus_mapping_new(1000, 1000, 1000, 1000);
  if (ctx == NULL || map == NULL) return 1;
  for (int i = 0; i < 1000; ++i) map->tab_registers[i] = (uint16_t)i;
  int listener = modbus_tcp_listen(ctx, 16);
  if (listener < 0) return 1;
  printf("listening\n");
  fflush(stdout);
  uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
  for (;;) {
    if (modbus_tcp_accept(ctx, &listener) < 0) continue;
    for (;;) {
      const int n = modbus_receive(ctx, query);
      if (n > 0) {
        modbus_reply(ctx, query, n, map);
      } else if (n < 0) {
        break;
      }
    }
    close(modbus_get_socket(ctx));
  }
}
