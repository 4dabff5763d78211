/* The launched program of the unpack benchmark: it starts and ends at once, so that running
   a produced file measures the stub's own work (locate, check, unpack, launch, wait). */
int main(void) { return 0; }
