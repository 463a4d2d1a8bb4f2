// Test helper run as an agent action: writes each of its arguments after the
// first to the file named by the first, one per line, and exits with the
// status given by the environment-free rule "last argument is 'fail' -> 3".
#include <cstdio>
#include <cstring>

int main(int argc, char **argv) {
  if (argc < 2) {
    return 2;
  }
  FILE *out = std::fopen(argv[1], "w");
  if (out == nullptr) {
    return 2;
  }
  for (int i = 2; i < argc; ++i) {
    std::fprintf(out, "%s\n", argv[i]);
  }
  std::fclose(out);
  return argc > 2 && std::strcmp(argv[argc - 1], "fail") == 0 ? 3 : 0;
}
