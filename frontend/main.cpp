// flash_x3: the CGI program behind the X3 firmware upgrade form.
#include "frontend/flash_x3.h"

int main() {
  write_results_page();
  return 0;
}
