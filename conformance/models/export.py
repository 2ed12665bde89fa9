#!/usr/bin/python3
"""Builds the real-architecture conformance models with random weights (fixed
seed, eval mode), exports them to ONNX and writes a fixed random input.

    export.py OUT_DIR

Writes OUT_DIR/<model>.onnx and OUT_DIR/<model>.input.bin (float32, the ONNX
input shape, row-major) for every model of MODELS.
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


MODELS = {
    "resnet18": (lambda: torchvision.models.resnet18(weights=None), (1, 3, 224, 224)),
    "mobilenet_v2": (lambda: torchvision.models.mobilenet_v2(weights=None), (1, 3, 224, 224)),
    "squeezenet1_1": (lambda: torchvision.models.squeezenet1_1(weights=None), (1, 3, 224, 224)),
    "small_lstm": (SmallLSTM, (7, 1, 12)),
}


def main(out_dir):
    os.makedirs(out_dir, exist_ok=True)
    for name, (make, shape) in MODELS.items():
        torch.manual_seed(0)
        model = make().eval()
        # BatchNorm statistics away from the initial 0/1 so folding is exercised.
        for m in model.modules():
            if isinstance(m, torch.nn.BatchNorm2d):
                with torch.no_grad():
                    m.running_mean.uniform_(-0.1, 0.1)
                    m.running_var.uniform_(0.5, 1.5)
                    m.weight.uniform_(0.5, 1.5)
                    m.bias.uniform_(-0.1, 0.1)
        x = torch.from_numpy(np.random.RandomState(1).uniform(-1, 1, shape).astype(np.float32))
        path = os.path.join(out_dir, name + ".onnx")
        torch.onnx.export(model, (x,), path, opset_version=13, do_constant_folding=True,
                          input_names=["input"],
                          output_names=["logits", "h"] if name == "small_lstm" else ["logits"])
        x.numpy().tofile(os.path.join(out_dir, name + ".input.bin"))
        with open(os.path.join(out_dir, name + ".input.bin.shape"), "w") as f:
            f.write("[%s]" % ", ".join(str(d) for d in shape))
        print("exported", path)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "build-conformance/models")
