/* An application that embeds Python and runs it more than once in one process: for each source
 * file named on the command line, Py_Initialize, run the file, Py_FinalizeEx. Exits with 1 when
 * a file cannot be read or its code fails, with 2 when finalization fails. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdio.h>
#include <stdlib.h>

static char* read_file(const char* path) {
  FILE* file = fopen(path, "rb");
  if (!file) return NULL;
  char* text = NULL;
  if (fseek(file, 0, SEEK_END) == 0) {
    long size = ftell(file);
    if (size >= 0 && fseek(file, 0, SEEK_SET) == 0 && (text = malloc((size_t)size + 1))) {
      size_t got = fread(text, 1, (size_t)size, file);
      text[got] = '\0';
    }
  }
  fclose(file);
  return text;
}

int main(int argc, char** argv) {
  for (int life = 1; life < argc; ++life) {
    char* code = read_file(argv[life]);
    if (!code) {
      fprintf(stderr, "cannot read %s\n", argv[life]);
      return 1;
    }
    Py_Initialize();
    int failed = PyRun_SimpleString(code);
    free(code);
    if (Py_FinalizeEx() < 0) return 2;
    if (failed) return 1;
    printf("life %d ended\n", life);
    fflush(stdout);
  }
  return 0;
}
