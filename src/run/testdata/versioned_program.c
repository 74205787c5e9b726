/* A minimal Windows program that exists only to carry a version resource for
   the tests of the installed version query. */
int main(void) { return 0; }
