// Entry point of stdio_executor: start up, serve until input ends, exit 0.
#include "service/service_loop.h"
#include "service/startup.h"

int main() {
  zelta::start_up();
  zelta::run_service_loop();
  return 0;
}
