// Choosing the device behind the output, and the calls that dispatch to it.
#include "output/output.h"

#include "fbdev/fbdev.h"

Output *glimmer_output_open(const OutputOptions *options)
{
    FbdevOutput *fbdev = glimmer_fbdev_open(options->rotation, options->device_number);
    return fbdev ? &fbdev->output : nullptr;
}

void glimmer_output_flip(Output *output, bool sync)
{
    output->ops->flip(output, sync);
}

void glimmer_output_close(Output *output)
{
    if (output)
        output->ops->close(output);
}
