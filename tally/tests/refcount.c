/* Prints the count line that both counting programs must print: the number
   of 3s among 209,715,200 values rand() % 4 drawn after srand(0). */
#include <stdio.h>
#include <stdlib.h>

int main(void) {
  int count = 0;
  srand(0);
  for (int i = 0; i < 209715200; i++) count += rand() % 4 == 3;
  printf("Count of 3 = %d\n", count);
  return 0;
}
