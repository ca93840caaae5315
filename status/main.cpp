// x3_status: the CGI program behind the status page, /cgi/x3_status.
#include <cstdio>
#include <cstdlib>

#include "history/upgrade_history.h"
#include "progress/upgrade_progress.h"
#include "status/status_page.h"

int main() {
  const char* method = getenv("REQUEST_METHOD");
  const char* query = getenv("QUERY_STRING");
  const std::string answer = status_cgi(method ? method : "", query ? query : "", history_path_to_read(),
                                         progress_path_to_read());
  fwrite(answer.data(), 1, answer.size(), stdout);
  return fflush(stdout) == 0 ? 0 : 1;
}
