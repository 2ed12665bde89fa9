/* Built as strict C99: the umbrella header must compile and the library
 * must link and work from C. */
#include "corvus.h"

#include <stdio.h>
#include <string.h>

int main(void)
{
    TensorShape shape;
    Tensor* t;
    Layer* input;
    memset(&shape, 0, sizeof(shape));
    shape.NHWC.batch = 1;
    shape.NHWC.height = 2;
    shape.NHWC.width = 3;
    shape.NHWC.channels = 4;
    t = CreateTensor(DT_FLOAT32, DL_NHWC, 4, shape, true);
    if (GetTensorSize(t) != 24 || t->stride.NHWC.height_stride != 12) {
        fprintf(stderr, "unexpected tensor geometry\n");
        return 1;
    }
    input = AddInputLayer("c_input", t);
    if (strcmp(input->name, "c_input") != 0 || input->op != OP_Input) {
        fprintf(stderr, "unexpected input layer\n");
        return 1;
    }
    DestroyLayer(input);
    DestroyTensor(t);
    /* The flat interface links from C; its id counter starts at 0. */
    if (get_model_id() != 0 || inc_model_id() != 1) {
        fprintf(stderr, "unexpected model id counter\n");
        return 1;
    }
    printf("C99 check passed\n");
    return 0;
}
