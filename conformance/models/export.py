#!/usr/bin/python3
"""Builds the real-architecture conformance models with random weights (fixed
seed, eval mode), exports them to ONNX and writes a fixed random input.

    export.py OUT_DIR [MODEL ...]

Writes OUT_DIR/<model>.onnx and OUT_DIR/<model>.input.bin (float32, the ONNX
input shape, row-major) for the named models of MODELS (all when none is
named); a model whose .onnx file exists is kept.
"""
import os
import sys

import numpy as np
import torch
import torchvision


class SmallLSTM(torch.nn.Module):
    """A sequence classifier: one LSTM layer and a linear head on the last step."""

    def __init__(self):
        super().__init__()
        self.lstm = torch.nn.LSTM(input_size=12, hidden_size=16, num_layers=1)
        self.head = torch.nn.Linear(16, 5)

    def forward(self, x):
        y, (h, c) = self.lstm(x)
        return self.head(y[-1]), h


class Encoder(torch.nn.Module):
    """A two-layer transformer encoder (batch first) with a padding mask built
    from the input, and a mean-pooled linear head."""

    def __init__(self):
        super().__init__()
        layer = torch.nn.TransformerEncoderLayer(d_model=32, nhead=4, dim_feedforward=64, dropout=0.0,
                                                 activation="gelu", batch_first=True)
        self.encoder = torch.nn.TransformerEncoder(layer, num_layers=2)
        self.head = torch.nn.Linear(32, 3)

    def forward(self, x):
        steps = torch.arange(x.shape[1])
        causal = steps[None, :] > steps[:, None]
        return self.head(self.encoder(x, mask=causal).mean(dim=1))


class Decoder(torch.nn.Module):
    """A two-layer transformer decoder (causal self-attention, cross-attention
    to a memory computed from the input) with a linear head."""

    def __init__(self):
        super().__init__()
        layer = torch.nn.TransformerDecoderLayer(d_model=32, nhead=4, dim_feedforward=64, dropout=0.0,
                                                 batch_first=True)
        self.decoder = torch.nn.TransformerDecoder(layer, num_layers=2)
        self.memory = torch.nn.Linear(32, 32)
        self.head = torch.nn.Linear(32, 5)

    def forward(self, x):
        steps = torch.arange(x.shape[1])
        causal = steps[None, :] > steps[:, None]
        return self.head(self.decoder(x, torch.tanh(self.memory(x)), tgt_mask=causal))


class AudioNet(torch.nn.Module):
    """A small 1-D convolutional classifier over (N, C, L) features."""

    def __init__(self):
        super().__init__()
        self.body = torch.nn.Sequential(
            torch.nn.Conv1d(8, 16, 5, padding=2), torch.nn.BatchNorm1d(16), torch.nn.ReLU(),
            torch.nn.MaxPool1d(3, stride=2, padding=1),
            torch.nn.Conv1d(16, 32, 3, padding=1), torch.nn.ReLU(), torch.nn.AvgPool1d(2),
            torch.nn.Conv1d(32, 32, 3, padding=1), torch.nn.ReLU(), torch.nn.AdaptiveAvgPool1d(1))
        self.head = torch.nn.Linear(32, 4)

    def forward(self, x):
        return self.head(torch.flatten(self.body(x), 1))


class Segmenter(torch.nn.Module):
    """A torchvision segmentation model (MobileNetV3-Large backbone): the "out" map only."""

    def __init__(self, name="lraspp_mobilenet_v3_large"):
        super().__init__()
        self.net = getattr(torchvision.models.segmentation, name)(weights=None, weights_backbone=None)

    def forward(self, x):
        return self.net(x)["out"]


MODELS = {
    "resnet18": (lambda: torchvision.models.resnet18(weights=None), (1, 3, 224, 224)),
    "mobilenet_v2": (lambda: torchvision.models.mobilenet_v2(weights=None), (1, 3, 224, 224)),
    "squeezenet1_1": (lambda: torchvision.models.squeezenet1_1(weights=None), (1, 3, 224, 224)),
    "small_lstm": (SmallLSTM, (7, 1, 12)),
    "resnet50": (lambda: torchvision.models.resnet50(weights=None), (1, 3, 224, 224)),
    "efficientnet_b0": (lambda: torchvision.models.efficientnet_b0(weights=None), (1, 3, 224, 224)),
    "mobilenet_v3_small": (lambda: torchvision.models.mobilenet_v3_small(weights=None), (1, 3, 224, 224)),
    "shufflenet_v2_x1_0": (lambda: torchvision.models.shufflenet_v2_x1_0(weights=None), (1, 3, 224, 224)),
    "transformer_encoder": (Encoder, (1, 10, 32)),
    "transformer_decoder": (Decoder, (1, 9, 32)),
    "lraspp_mobilenet_v3": (Segmenter, (1, 3, 224, 224)),
    "audio_conv1d": (AudioNet, (1, 8, 64)),
    "deeplabv3_mobilenet_v3": (lambda: Segmenter("deeplabv3_mobilenet_v3_large"), (1, 3, 224, 224)),
}


def classifier(name):
    """Any other torchvision classification model by its builder's name."""
    size = 299 if name == "inception_v3" else 224
    extra = {"aux_logits": False, "init_weights": True} if name in ("googlenet", "inception_v3") else {}
    return (lambda: torchvision.models.get_model(name, weights=None, **extra)), (1, 3, size, size)


def main(out_dir, names):
    os.makedirs(out_dir, exist_ok=True)
    failed = 0
    for name in names or MODELS:
        if name not in MODELS and name not in torchvision.models.list_models(torchvision.models):
            sys.exit("export.py: no model %r (%s, or a torchvision classifier)" % (name, ", ".join(MODELS)))
        make, shape = MODELS[name] if name in MODELS else classifier(name)
        path = os.path.join(out_dir, name + ".onnx")
        if os.path.exists(path) and os.path.exists(os.path.join(out_dir, name + ".input.bin.shape")):
            continue
        torch.manual_seed(0)
        model = make().eval()
        # BatchNorm statistics away from the initial 0/1 so folding is exercised.
        for m in model.modules():
            if isinstance(m, torch.nn.modules.batchnorm._BatchNorm):
                with torch.no_grad():
                    m.running_mean.uniform_(-0.1, 0.1)
                    m.running_var.uniform_(0.5, 1.5)
                    m.weight.uniform_(0.5, 1.5)
                    m.bias.uniform_(-0.1, 0.1)
        x = torch.from_numpy(np.random.RandomState(1).uniform(-1, 1, shape).astype(np.float32))
        try:
            torch.onnx.export(model, (x,), path, opset_version=13, do_constant_folding=True,
                              input_names=["input"],
                              output_names=["logits", "h"] if name == "small_lstm" else ["logits"])
        except Exception as e:  # noqa: BLE001 - the others are still exported; the runs report the gap
            print("export.py: %s does not export: %s" % (name, str(e).splitlines()[0][:200]), file=sys.stderr)
            failed += 1
            continue
        x.numpy().tofile(os.path.join(out_dir, name + ".input.bin"))
        with open(os.path.join(out_dir, name + ".input.bin.shape"), "w") as f:
            f.write("[%s]" % ", ".join(str(d) for d in shape))
        print("exported", path)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "build-conformance/models", sys.argv[2:]))
