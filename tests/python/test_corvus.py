"""The Python package against the library and the corvus tool.

Run by ctest with PYTHONPATH at python/, CORVUS_LIBRARY the built library,
CORVUS_CLI the tool and CORVUS_TEST_WORK a scratch directory."""
import os
import subprocess

import numpy as np
import pytest

import corvus

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
DIGITS = os.path.join(ROOT, "examples", "digits")
MODEL, WEIGHTS = os.path.join(DIGITS, "model.json"), os.path.join(DIGITS, "weights.bin")
LIB, CLI = os.environ["CORVUS_LIBRARY"], os.environ["CORVUS_CLI"]


@pytest.fixture
def work(request):
    path = os.path.join(os.environ["CORVUS_TEST_WORK"], request.node.name)
    os.makedirs(path, exist_ok=True)
    return path


@pytest.fixture(scope="module")
def digits():
    with corvus.Model(MODEL, WEIGHTS, library=LIB) as model:
        yield model


def test_run_matches_the_tool_bit_for_bit(digits, work):
    assert digits.inputs == [corvus.TensorInfo("image", (1, 8, 8, 1), np.float32)]
    assert digits.outputs == [corvus.TensorInfo("logits", (1, 10), np.float32)]
    x = np.load(os.path.join(DIGITS, "heldout_x.npy"))
    subprocess.run([CLI, "run", MODEL, WEIGHTS, "--input", os.path.join(DIGITS, "heldout_x.npy"), "--output", work],
                   check=True, capture_output=True)
    expected = np.load(os.path.join(work, "logits.npy"))
    y = digits.run(x)  # the 300 images as one batch
    assert y.dtype == np.float32 and y.shape == (300, 10)
    assert np.array_equal(y, expected)
    with pytest.raises(ValueError):
        digits.set_cores(0)
    # By name, as float64 (converted to float32 first), a batch of 2.
    by_name = digits.run({"image": x[5:7].astype(np.float64)})
    assert list(by_name) == ["logits"] and np.array_equal(by_name["logits"], expected[5:7])
    assert np.array_equal(digits.run([x[9]])[0], expected[9:10])
    for bad in (x[:, :7], x.astype(np.int64), {"img": x}):
        with pytest.raises(corvus.CorvusError):
            digits.run(bad)


def test_statistics_and_dump(digits, work):
    digits.run(np.zeros((1, 8, 8, 1), np.float32))
    stats = digits.statistics()
    assert [s["Name"] for s in stats][-1] == "logits"
    assert all(isinstance(s["MACs"], int) and isinstance(s["TotalTics"], int) for s in stats)
    assert stats[-1]["MACs"] == 32 * 10 and stats[-1]["Output"] == "(1,10)"
    path = os.path.join(work, "stats.csv")
    digits.save_statistics(path)
    with open(path) as f:
        assert len(f.read().splitlines()) == 1 + len(stats)
    digits.dump(os.path.join(work, "dump"))  # created on the way
    assert {"image_out", "logits_out", "logits_inner_0"} <= set(os.listdir(os.path.join(work, "dump")))


def test_bad_files_raise_and_the_interpreter_lives_on(work):
    bad = os.path.join(work, "bad.json")
    with open(bad, "w") as f:
        f.write('{"class_name": "Model"')
    with pytest.raises(corvus.CorvusError, match=r"^\[ERROR MESSAGE\]: .*\. File \w+ : \d+"):
        corvus.Model(bad, WEIGHTS, library=LIB)
    with pytest.raises(corvus.CorvusError, match="cannot open weights file"):
        corvus.Model(MODEL, os.path.join(work, "missing.bin"), library=LIB)
    with pytest.raises(corvus.CorvusError, match="cannot load libcorvus.so"):
        corvus.Model(MODEL, WEIGHTS, library=work)
    assert corvus.Model(MODEL, WEIGHTS, library=LIB).run(np.zeros(64, np.float32)).shape == (1, 10)


def test_convert_onnx_and_run_other_element_types(work):
    onnx = pytest.importorskip("onnx")
    from onnx import TensorProto, helper

    from corvus import onnx as converter

    # x (2,3) -> Relu, and ArgMax over axis 1 of the Relu: float and integer outputs.
    graph = helper.make_graph(
        [helper.make_node("Relu", ["x"], ["relu"]), helper.make_node("ArgMax", ["relu"], ["index"], axis=1)],
        "tiny", [helper.make_tensor_value_info("x", TensorProto.FLOAT, [2, 3])],
        [helper.make_tensor_value_info("relu", TensorProto.FLOAT, [2, 3]),
         helper.make_tensor_value_info("index", TensorProto.INT64, [2, 1])])
    src = os.path.join(work, "tiny.onnx")
    onnx.save(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)]), src)
    description, weights = os.path.join(work, "tiny.json"), os.path.join(work, "tiny.weights")
    converter.convert(src, description, weights, quiet=True)
    model = corvus.Model(description, weights, library=LIB)
    assert [(t.name, t.shape, t.dtype) for t in model.outputs] == [("relu", (2, 3), np.float32),
                                                                   ("index", (2, 1), np.int32)]
    x = np.array([[[-1, 5, 2], [3, -4, 0]], [[0, 1, 7], [9, 2, 8]]], np.int8)  # a batch of 2, converted
    relu, index = model.run([x])
    assert np.array_equal(relu, np.maximum(x, 0).reshape(4, 3).astype(np.float32))
    assert index.dtype == np.int32 and index.ravel().tolist() == [1, 0, 2, 0]
