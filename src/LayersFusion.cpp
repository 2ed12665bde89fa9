#define CORVUS_MODULE "LayersFusion"
#include "LayersFusion.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "ActivationTypes.h"
#include "LayersBroadcast.h"
#include "LayersConvolution.h"
#include "LayersInternal.h"
#include "LayersPooling.h"
#include "LayersResize.h"
#include "Report.h"

namespace {

bool IsOutput(const IOLayers* io, const Layer* layer)
{
    return io != nullptr && IsLayerInList(io->outputLayers, io->outputLayersCount, layer);
}

bool IsConv(const Layer* l) { return l->op == OP_Conv2D || l->op == OP_DepthwiseConv2D; }

bool IsArithmetic(const Layer* l)
{
    return l->op == OP_AddBroadcast || l->op == OP_MulBroadcast || l->op == OP_SubBroadcast || l->op == OP_DivBroadcast;
}

// The fused activation kind of a convolution or arithmetic layer.
uint32_t* FusedActivation(Layer* l)
{
    void* p = l->kernel->params;
    if (p == nullptr) return nullptr;
    if (l->op == OP_Conv2D) return &((Conv2DParams*)p)->activation.type;
    if (l->op == OP_DepthwiseConv2D) return &((DepthWiseConv2DParams*)p)->activation;
    if (IsArithmetic(l)) return &((BroadcastParams*)p)->aName;
    return nullptr;
}

bool IsNoneOrLinear(uint32_t kind) { return kind == None || kind == Linear; }

bool OwnsData(const Tensor* t) { return t->allocatedData && t->data != nullptr; }

// keeper replaces donor in the graph: it takes donor's consumers (whose
// input links now name keeper) and donor's place in the output list. The
// keeper's own consumer array, which only named donor, goes with donor.
void TakeOverConsumers(Layer* keeper, Layer* donor, IOLayers* io)
{
    for (uint32_t c = 0; c < donor->consumerLayersNum; ++c) {
        Layer* consumer = donor->consumerLayers[c];
        ReplaceLayer(consumer->inputLayers, consumer->inputLayersNum, donor, keeper);
    }
    Layer** own = keeper->consumerLayers;
    const uint32_t ownNum = keeper->consumerLayersNum;
    keeper->consumerLayers = donor->consumerLayers;
    keeper->consumerLayersNum = donor->consumerLayersNum;
    donor->consumerLayers = own;
    donor->consumerLayersNum = ownNum;
    if (io != nullptr) ReplaceLayer(io->outputLayers, io->outputLayersCount, donor, keeper);
}

void RemoveConsumer(Layer* layer, const Layer* consumer)
{
    uint32_t kept = 0;
    for (uint32_t c = 0; c < layer->consumerLayersNum; ++c)
        if (layer->consumerLayers[c] != consumer) layer->consumerLayers[kept++] = layer->consumerLayers[c];
    layer->consumerLayersNum = kept;
}

class Fusion {
public:
    Fusion(Layer** layers, uint32_t count, IOLayers* io) : layers_(layers), count_(count), io_(io) {}

    uint32_t Run()
    {
        for (uint32_t i = 0; i < count_; ++i) {
            Layer* l = layers_[i];
            CV_CHECK_PTR(l);
        }
        for (uint32_t i = 0; i < count_; ++i) {
            Layer* l = layers_[i];
            if (Removed(l)) continue;
            RetypeDepthwise(l);
            if (FuseConvBatchNorm(l)) continue;
            if (FuseSigmoidMul(l)) continue;
            FoldZeroPadding(l);
        }
        for (uint32_t i = 0; i < count_; ++i) {
            Layer* activation_layer = layers_[i];
            CV_CHECK_PTR(activation_layer);
            if (!Removed(activation_layer)) FoldActivation(activation_layer);
        }
        for (Layer* l : removed_) DestroyLayer(l);
        return (uint32_t)removed_.size();
    }

private:
    bool Removed(const Layer* l) const
    {
        for (const Layer* r : removed_)
            if (r == l) return true;
        return false;
    }

    void Remove(Layer* l) { removed_.push_back(l); }

    // A Conv2D with one input channel per group is a depthwise convolution.
    // Its HWIO filter {kH, kW, 1, C * M} is tagged as a depthwise filter only
    // for the conversion, which moves the data into {1, kH, kW, C * M}; a
    // layer that does not convert gets its tag back. The depthwise kernel
    // applies its activation without alpha, so one that needs alpha stays.
    void RetypeDepthwise(Layer* l)
    {
        NNKernel* k = l->kernel;
        if (l->op != OP_Conv2D || k->params == nullptr || k->innerNum < 1 || k->inner[0] == nullptr) return;
        if (((const Conv2DParams*)k->params)->activation.alpha != 0.0f) return;
        Tensor* filter = k->inner[0];
        const uint32_t layout = filter->layout;
        if (layout == DL_HWIO && filter->ndim == 4 && filter->shape.dimension[2] == 1) filter->layout = DL_MHWI;
        Conv2DParams* old = Conv2D_to_dwConv(k, nullptr);
        if (old == nullptr) {
            filter->layout = layout;
            return;
        }
        l->op = OP_DepthwiseConv2D;
        free(old);
    }

    bool FuseConvBatchNorm(Layer* l)
    {
        if (!IsConv(l) || l->consumerLayersNum != 1 || IsOutput(io_, l)) return false;
        Layer* bn = l->consumerLayers[0];
        if (bn == nullptr || bn->op != OP_BatchNormalization) return false;
        const uint32_t* act = FusedActivation(l);
        if (act == nullptr || !IsNoneOrLinear(*act)) return false;

        NNKernel* k = l->kernel;
        NNKernel* bk = bn->kernel;
        Tensor* scale = bk->innerNum > 0 ? bk->inner[0] : nullptr;
        Tensor* shift = bk->innerNum > 1 ? bk->inner[1] : nullptr;
        Tensor* filter = k->inner[0];
        CV_CHECK_PTR(filter);
        CV_CHECK(k->innerNum > 1);
        // The normalisation is folded into the weights or not at all: weights
        // without data, or data the layer borrows (and must not rewrite), keep
        // the BatchNormalization layer, and so do its parameters without data.
        if (!OwnsData(filter) || (k->inner[1] != nullptr && !OwnsData(k->inner[1]))) return false;
        if ((scale != nullptr && scale->data == nullptr) || (shift != nullptr && shift->data == nullptr)) return false;
        if (shift != nullptr && k->inner[1] == nullptr) {
            CV_CHECK_PTR(k->inner[1] = CreateTensor((DataType)shift->dtype, DL_I, 1, shift->shape, true));
            memset(k->inner[1]->data, 0, (size_t)GetTensorDataSize(k->inner[1]) * DataTypeSize((DataType)shift->dtype));
        }
        ConvBNFusionWeightsPreparing(filter, k->inner[1], scale, shift);
        if (k->inner[1] != nullptr) {
            if (l->op == OP_Conv2D)
                ((Conv2DParams*)k->params)->useBias |= 1;
            else
                ((DepthWiseConv2DParams*)k->params)->useBias = 1;
        }
        TakeOverConsumers(l, bn, io_);
        SwapName(l, bn);
        Remove(bn);
        return true;
    }

    bool FuseSigmoidMul(Layer* sigm)
    {
        if (sigm->op != OP_Activation || sigm->kernel->params == nullptr) return false;
        ActivationParams* a = (ActivationParams*)sigm->kernel->params;
        if (a->type != Sigmoid || sigm->consumerLayersNum != 1) return false;
        CV_CHECK(sigm->consumerLayers != NULL);
        Layer* mul = sigm->consumerLayers[0];
        CV_CHECK(mul != NULL);
        if (mul->op != OP_MulBroadcast || IsOutput(io_, sigm) || sigm->inputLayersNum != 1) return false;
        CV_CHECK(sigm->inputLayers != NULL);
        Layer* sigm_in = sigm->inputLayers[0];
        CV_CHECK(sigm_in != NULL);
        if (mul->inputLayersNum != 2) return false;
        CV_CHECK(mul->inputLayers != NULL);
        Layer* mul_in0 = mul->inputLayers[0];
        Layer* mul_in1 = mul->inputLayers[1];
        CV_CHECK(mul_in0 != NULL);
        CV_CHECK(mul_in1 != NULL);
        // The very layer, not one that happens to share its name.
        if (mul_in0 != sigm_in && mul_in1 != sigm_in) return false;

        a->type = XmulSigmX;
        TakeOverConsumers(sigm, mul, io_);
        // The multiplication's other input is the sigmoid's own input: its
        // link to the multiplication disappears with it.
        for (uint32_t i = 0; i < sigm->inputLayersNum; ++i) {
            Layer* in = sigm->inputLayers[i];
            if (IsLayerInList(in->consumerLayers, in->consumerLayersNum, sigm) &&
                IsLayerInList(in->consumerLayers, in->consumerLayersNum, mul))
                RemoveConsumer(in, mul);
        }
        Remove(mul);
        return true;
    }

    void FoldZeroPadding(Layer* zp)
    {
        if (zp->op != OP_ZeroPadding2D || zp->consumerLayersNum != 1 || IsOutput(io_, zp)) return;
        Layer* zp_consumer = zp->consumerLayers[0];
        const ZeroPaddingParams* z = (const ZeroPaddingParams*)zp->kernel->params;
        if (zp_consumer == nullptr || z == nullptr || zp->inputLayersNum != 1) return;
        const bool symmetric = z->top == z->bottom && z->left == z->right;
        uint32_t *top, *left, *bottom, *right;
        switch (zp_consumer->op) {
        case OP_Conv2D: {
            if (!symmetric) return;
            Conv2DParams* p = (Conv2DParams*)zp_consumer->kernel->params;
            CV_CHECK_MSG(p->pad == VALID,
                         "((Conv2DParams*)(zp_consumer->kernel->params))->pad == VALID: false, expected: true");
            top = &p->padTop, left = &p->padLeft, bottom = &p->padBottom, right = &p->padRight;
            p->pad = (PaddingMode)1;
            break;
        }
        case OP_DepthwiseConv2D: {
            DepthWiseConv2DParams* p = (DepthWiseConv2DParams*)zp_consumer->kernel->params;
            CV_CHECK_MSG(p->pad == VALID, "((DepthWiseConv2DParams*)(zp_consumer->kernel->params)) ->pad == "
                                          "VALID: false, expected: true");
            top = &p->padTop, left = &p->padLeft, bottom = &p->padBottom, right = &p->padRight;
            p->pad = (PaddingMode)1;
            break;
        }
        case OP_MaxPool2D: {
            if (!symmetric) return;
            Pool2DParams* p = (Pool2DParams*)zp_consumer->kernel->params;
            CV_CHECK_MSG(p->pad == VALID,
                         "((Pool2DParams*)(zp_consumer->kernel->params))->pad == VALID: false, expected: true");
            top = &p->padTop, left = &p->padLeft, bottom = &p->padBottom, right = &p->padRight;
            p->pad = (PaddingMode)1;
            p->paddingMode = POOL_PADDING_ZEROS;
            break;
        }
        default:
            return;
        }
        *top = z->top, *left = z->left, *bottom = z->bottom, *right = z->right;

        Layer* producer = zp->inputLayers[0];
        ReplaceLayer(zp_consumer->inputLayers, zp_consumer->inputLayersNum, zp, producer);
        ReplaceLayer(producer->consumerLayers, producer->consumerLayersNum, zp, zp_consumer);
        // The consumer now reads the unpadded tensor; kernel choice looks at it.
        NNKernel* ck = zp_consumer->kernel;
        const Tensor* produced = producer->kernel->output[0];
        if (ck->inputsNum > 0 && produced != nullptr) {
            const uint32_t settled = ck->input[0] != nullptr ? ck->input[0]->layout : (uint32_t)DL_NONE;
            DestroyTensor(ck->input[0]);
            ck->input[0] = CreateTensorView(produced, produced->data);
            if (ck->input[0]->layout == DL_NONE) ck->input[0]->layout = settled;
        }
        Remove(zp);
    }

    void FoldActivation(Layer* a)
    {
        if (a->op != OP_Activation || a->inputLayersNum != 1 || a->kernel->params == nullptr) return;
        Layer* p = a->inputLayers[0];
        if (p == nullptr || !(IsConv(p) || IsArithmetic(p)) || IsOutput(io_, p)) return;
        if (p->consumerLayersNum != 1 || p->consumerLayers[0] != a) return;
        const ActivationParams* ap = (const ActivationParams*)a->kernel->params;
        if (ap->type != ReLU && ap->type != ReLU6 && ap->type != Linear) return;
        uint32_t* own = FusedActivation(p);
        if (own == nullptr || !IsNoneOrLinear(*own)) return;
        *own = ap->type;
        if (p->op == OP_Conv2D) ((Conv2DParams*)p->kernel->params)->activation.alpha = ap->alpha;
        TakeOverConsumers(p, a, io_);
        SwapName(p, a);
        Remove(a);
    }

    Layer** layers_;
    uint32_t count_;
    IOLayers* io_;
    std::vector<Layer*> removed_;
};

}  // namespace

extern "C" {

uint32_t FusionLayers(Layer** layers, uint32_t count, IOLayers* io)
{
    if (count > 0) CV_CHECK_PTR(layers);
    return Fusion(layers, count, io).Run();
}

uint32_t CheckIfLayersConnected(Layer** layers, uint32_t count, Layer** inputs, uint32_t inputsCount, Layer** outputs,
                                uint32_t outputsCount)
{
    if (count < 2) return 1;
    for (uint32_t i = 0; i < count; ++i) {
        const Layer* l = layers[i];
        if (l == nullptr) return 0;
        const bool isInput = inputs != nullptr && IsLayerInList(inputs, inputsCount, l);
        const bool isOutput = outputs != nullptr && IsLayerInList(outputs, outputsCount, l);
        const bool fed = l->inputLayersNum > 0 && l->inputLayers != nullptr;
        const bool read = l->consumerLayersNum > 0 && l->consumerLayers != nullptr;
        if (isInput && !read) return 0;
        if (isOutput && !fed) return 0;
        if (!isInput && !isOutput && !(fed && read)) return 0;
    }
    return 1;
}

void SwapName(Layer* keeper, Layer* donor)
{
    CV_CHECK_PTR(keeper);
    CV_CHECK_PTR(donor);
    char* copy = nullptr;
    if (donor->name != nullptr) CV_CHECK_PTR(copy = strdup(donor->name));
    free(keeper->name);
    keeper->name = copy;
}

void ConvBNFusionWeightsPreparing(Tensor* convFilter, Tensor* convBias, Tensor* bnInner0, Tensor* bnInner1)
{
    CV_CHECK_PTR(convFilter);
    CV_CHECK(convFilter->layout == DL_HWIO || convFilter->layout == DL_MHWI);
    CV_CHECK(convFilter->dtype == DT_FLOAT32);
    CV_CHECK_MSG(convFilter->ndim == 4 && convFilter->data != nullptr, "convolution filter must be 4-D with data");
    // A depthwise filter {M, kH, kW, C} holds its C * M output channels in
    // the innermost position of each row.
    const bool depthwise = convFilter->layout == DL_MHWI;
    const uint32_t outputChannels =
        depthwise ? convFilter->shape.dimension[0] * convFilter->shape.dimension[3] : convFilter->shape.dimension[3];
    if (convBias != nullptr) {
        CV_CHECK(convBias->dtype == DT_FLOAT32);
        CV_CHECK(convBias->shape.dimension[0] == outputChannels);
        CV_CHECK_PTR(convBias->data);
    }
    float* bias = convBias != nullptr ? (float*)convBias->data : nullptr;
    if (bnInner0 != nullptr) {
        CV_CHECK(bnInner0->shape.dimension[0] == outputChannels);
        CV_CHECK(bnInner0->dtype == DT_FLOAT32);
        CV_CHECK_PTR(bnInner0->data);
        const float* s = (const float*)bnInner0->data;
        float* w = (float*)convFilter->data;
        if (depthwise) {
            CV_CHECK_MSG(IsSerialData(convFilter), "depthwise filter must be stored densely");
            const uint64_t total = GetTensorSize(convFilter);
            for (uint64_t e = 0; e < total; ++e) w[e] *= s[e % outputChannels];
        } else {
            const TensorShape& sh = convFilter->shape;
            const TensorStrides& st = convFilter->stride;
            for (uint32_t a = 0; a < sh.dimension[0]; ++a)
                for (uint32_t b = 0; b < sh.dimension[1]; ++b)
                    for (uint32_t c = 0; c < sh.dimension[2]; ++c) {
                        float* row = w + (uint64_t)a * st.dimension[0] + (uint64_t)b * st.dimension[1] +
                                     (uint64_t)c * st.dimension[2];
                        for (uint32_t o = 0; o < outputChannels; ++o) row[(uint64_t)o * st.dimension[3]] *= s[o];
                    }
        }
        if (bias != nullptr)
            for (uint32_t o = 0; o < outputChannels; ++o) bias[o] *= s[o];
    }
    if (bnInner1 != nullptr) {
        CV_CHECK(convBias != NULL);
        CV_CHECK(bnInner1->shape.dimension[0] == outputChannels);
        CV_CHECK(bnInner1->dtype == DT_FLOAT32);
        CV_CHECK_PTR(bnInner1->data);
        const float* t = (const float*)bnInner1->data;
        for (uint32_t o = 0; o < outputChannels; ++o) bias[o] += t[o];
    }
}

}  // extern "C"
