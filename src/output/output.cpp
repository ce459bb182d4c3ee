// Choosing the device behind the output, and the calls that dispatch to it.
#include "output/output.h"

#include "fbdev/fbdev.h"
#ifdef GLIMMER_HAVE_DRM
#include "drm/drm_output.h"
#endif

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

Output *glimmer_output_open(const OutputOptions *options)
{
    char fb_path[] = "/dev/fb0", card_path[] = "/dev/dri/card0";
    if (options->device_number >= 1 && options->device_number <= 9) {
        fb_path[sizeof fb_path - 2] = (char)('0' + options->device_number);
        card_path[sizeof card_path - 2] = (char)('0' + options->device_number);
    }
    if (!options->drm) {
        // Only a device that does not exist hands over to the card: one that
        // fails otherwise is reported as it always was.
        const int fd = open(fb_path, O_RDWR);
        if (fd >= 0) {
            FbdevOutput *fbdev = glimmer_fbdev_open(fd, options->rotation);
            return fbdev ? &fbdev->output : nullptr;
        }
        if (errno != ENOENT && errno != ENODEV) {
            fprintf(stderr, "Error opening %s\n", fb_path);
            return nullptr;
        }
    }
#ifdef GLIMMER_HAVE_DRM
    const int card = open(card_path, O_RDWR | O_CLOEXEC);
    if (card >= 0) {
        DrmOutput *drm =
            glimmer_drm_open(card, card_path, options->rotation, options->rotation_given);
        return drm ? &drm->output : nullptr;
    }
#endif
    // Without the DRM output built in, no card opens.
    if (!options->drm)
        fprintf(stderr, "Error opening %s\n", fb_path);
    fprintf(stderr, "Error opening %s\n", card_path);
    return nullptr;
}

OutputFinish glimmer_output_finish(Output *output)
{
    return output->ops->finish ? output->ops->finish(output) : OUTPUT_FINISHED;
}

bool glimmer_output_flip(Output *output, bool sync)
{
    return output->ops->flip(output, sync);
}

void glimmer_output_close(Output *output)
{
    if (output)
        output->ops->close(output);
}
