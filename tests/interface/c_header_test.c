/* The public header compiles as C, and a C program links the library. */
#include "qor.h"

#include <stdio.h>
#include <string.h>

int main(void) {
  char id[173];
  QOR_Type type = QOR_HALF;
  QOR_Op op = QOR_AVG;
  QOR_Key key = QOR_KEY_DEVICE;
  if (qor_wait() != QOR_SUCCESS) return 1;
  if (qor_generate_group_id(id) != QOR_SUCCESS || strlen(id) != 172) return 2;
  if (type != 1 || op != 1 || key != 6 || qor_ctrl != 0) return 3;
  /* The failure's text is handed back once, then forgotten. */
  if (qor_init(NULL) != QOR_FAILURE || !strstr(qor_last_error(), "option text is a null pointer") ||
      qor_last_error()[0] != '\0')
    return 4;
  printf("%s\n", id);
  return 0;
}
