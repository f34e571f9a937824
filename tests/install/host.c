/* A host built against an installed Kelvane (find_package or pkg-config):
   lists the cameras, opens the first, grabs one image and checks that its
   top row is not all zero. Exit 0 on success. */
#include <kelvane/grabber.h>
#include <stdio.h>
#include <stdlib.h>

#if KELVANE_VERSION < 100
#error "this host needs Kelvane 0.1 or later"
#endif

static int32_t sink(const char* message) {
  (void)message;
  return 0;
}

int main(void) {
  int32_t size[2] = {0, 0};
  int32_t depth = 0;
  char** names;
  unsigned char* row;
  long sum = 0;
  int x;

  printf("Kelvane %s\n", KELVANE_VERSION_STRING);
  initialize("", sink);
  names = getCVLCameraConfigNames();
  if (getCVLNoOfSupportedCameras() < 1 || !names[0]) {
    fprintf(stderr, "host: no camera\n");
    return 1;
  }
  if (!openCVLPort(0, 0, names[0], size)) {
    fprintf(stderr, "host: cannot open %s\n", names[0]);
    return 1;
  }
  if (!doCVLGrab(0, 0) || !getProperty(0, 0, "PixelSize", &depth) || depth < 8) {
    fprintf(stderr, "host: no image\n");
    return 1;
  }
  row = malloc((size_t)size[0] * (size_t)(depth / 8));
  if (!row || !getCVLGrabRow(0, 0, row, 0, 0, size[0] - 1)) {
    fprintf(stderr, "host: no row\n");
    return 1;
  }
  for (x = 0; x < size[0] * (depth / 8); ++x) sum += row[x];
  printf("%s: %d x %d, %d bits, top row sum %ld\n", names[0], size[0], size[1], depth, sum);
  free(row);
  closeCVLPort(0, 0);
  finalize();
  return sum > 0 ? 0 : 1;
}
