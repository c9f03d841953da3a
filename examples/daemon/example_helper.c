/*
 * example_helper PIDFILE - the program exampled launches as a daemon: it
 * writes its pid into PIDFILE and waits to be stopped (at most a minute).
 */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <unistd.h>

int main(int argc, char **argv)
{
	FILE *f;

	if (argc != 2 || !(f = fopen(argv[1], "w")))
		return 1;
	fprintf(f, "%d\n", (int)getpid());
	fclose(f);
	sleep(60);
	return 0;
}
