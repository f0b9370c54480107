// CorvaneAutoStart's process entry. Command-line arguments are ignored.
#include "autostart/AutoStart.h"

int main() {
  return static_cast<int>(autostart::ConfigureAutoStart());
}
