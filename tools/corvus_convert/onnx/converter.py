"""The Converter: walks the ONNX graph in order, keeps every value's layout,
writes the document's nodes and collects the weights. Operators are found in
the tables of registry.py (constant folds first, then handlers)."""
import numpy as np
import onnx
from onnx import numpy_helper, shape_inference

from .elements import FLOAT16, FLOAT32, FLOAT_MAX, INT32, INT64, KNOWN_ELEM, RUNTIME_NP, type_code
from .graph import ConversionError, Value, channels_last, fail, identity, same_order
from .registry import FOLD, HANDLERS

CONVERTER_VERSION = "2.8.0"


class Converter:
    def __init__(self, model, fast_softmax=False, input_shapes=None):
        self.model = model
        self.fast_softmax = fast_softmax
        self.input_shapes = dict(input_shapes or {})
        self.varying_rows = set()  # outputs whose first dimension is set at run time
        self.doc = {"__header__": None}
        self.weights = []
        self.values = {}
        self.used_names = {"__header__"}
        self.inputs = []
        self.unused_inputs = []
        self.outputs = []
        self.opset = 1
        for imp in model.opset_import:
            if imp.domain in ("", "ai.onnx"):
                self.opset = imp.version

    # ---- naming and emission -------------------------------------------
    def unique(self, base):
        base = "".join(c if c.isalnum() or c in "_-.:/" else "_" for c in (base or "node")) or "node"
        name, i = base, 1
        while name in self.used_names:
            name = "%s_%d" % (base, i)
            i += 1
        self.used_names.add(name)
        return name

    def emit(self, op, key, inputs, attrs=None, consts=None, output_name=None):
        """Writes one node; `inputs` are refs, `consts` maps initializer names
        (already in `inputs`) to arrays embedded in the node."""
        key = self.unique(key)
        node = {"type": op, "inputs": list(inputs), "outputs": [key]}
        for name, arr in (consts or {}).items():
            if self.infinite_constant(name, arr):
                continue
            node[name] = self.initializer(arr)
        for k, v in (attrs or {}).items():
            node[k] = v
        self.doc[key] = node
        return key

    def infinite_constant(self, name, arr):
        """JSON has no infinities: a float constant holding some is written
        as a node `name` computing it, finite * scale with +-FLOAT_MAX where
        the constant is infinite and scale 2 there (1 elsewhere). The float32
        product FLOAT_MAX * 2 overflows to infinity; x * 1 is x."""
        arr = np.asarray(arr)
        if arr.dtype.kind != "f" or np.isfinite(arr).all():
            return False
        if np.isnan(arr).any():
            raise ConversionError("constant %r holds NaN, which the model description cannot carry" % name)
        inf = np.isinf(arr)
        finite = np.where(inf, np.sign(arr) * FLOAT_MAX, arr).astype(np.float32)
        scale = np.where(inf, 2.0, 1.0).astype(np.float32)
        a, b = self.unique(name + "_finite"), self.unique(name + "_scale")
        self.doc[name] = {"type": "Mul", "inputs": [a, b], "outputs": [name], a: self.initializer(finite),
                          b: self.initializer(scale)}
        return True

    @staticmethod
    def initializer(arr, with_data=True):
        arr = np.asarray(arr)
        code = type_code(arr.dtype)
        obj = {"dims": [int(d) for d in arr.shape], "dataType": [code]}
        if with_data:
            flat = arr.astype(RUNTIME_NP[code] if code != FLOAT16 else np.float32).reshape(-1)
            if code in (FLOAT32, FLOAT16):
                obj["data"] = [float(x) for x in flat]
            else:
                src = arr.reshape(-1)
                if code in (INT64, INT32) and (src.min(initial=0) < -2 ** 31 or src.max(initial=0) >= 2 ** 31):
                    src = np.clip(src, -2 ** 31, 2 ** 31 - 1)
                obj["data"] = [int(x) for x in src.astype(np.int64)]
        return obj

    def const_input(self, key_hint, arr, node_consts):
        name = self.unique(key_hint)
        node_consts[name] = np.asarray(arr)
        return name

    # ---- layout ----------------------------------------------------------
    def ref_as(self, name, perm, node):
        """Ref of value `name` held with `perm`, converting when needed."""
        v = self.values[name]
        if v.const is not None:
            fail(node, "constant input %r where a tensor is expected" % name)
        perm = tuple(perm)
        if v.perm == perm:
            return v.ref
        if perm in v.views:
            return v.views[perm]
        want = [v.shape[p] for p in perm]
        # Moving only unit dimensions keeps the element order: a reshape will do.
        if same_order(v, perm):
            ref = self.emit("Reshape", name + "_reshape", [v.ref, None], None)
            node_obj = self.doc[ref]
            cname = self.unique(ref + "_shape")
            node_obj["inputs"][1] = cname
            node_obj[cname] = self.initializer(np.array(want, dtype=np.int64))
        else:
            axes = [v.perm.index(q) for q in perm]
            ref = self.emit("Transpose", name + "_transpose", [v.ref], {"perm": axes})
        v.views[perm] = ref
        return ref

    def set_runtime(self, name, shape, dtype, ref, perm):
        self.values[name] = Value(shape, dtype, ref=ref, perm=tuple(perm))

    def set_const(self, name, arr):
        arr = np.asarray(arr)
        self.values[name] = Value(arr.shape, arr.dtype, const=arr)

    # ---- driver ------------------------------------------------------------
    def run(self):
        graph = self.model.graph
        inits = {t.name: numpy_helper.to_array(t) for t in graph.initializer}
        for name, arr in inits.items():
            self.set_const(name, arr)
        for inp in graph.input:
            if inp.name in inits:
                continue
            if not inp.type.HasField("tensor_type"):
                raise ConversionError("input %r is not a tensor" % inp.name)
            tt = inp.type.tensor_type
            if inp.name in self.input_shapes:
                shape = self.input_shapes.pop(inp.name)
                if tt.HasField("shape") and len(tt.shape.dim) != len(shape):
                    raise ConversionError("--input-shape %s gives %d dimensions; the input has %d" % (
                        inp.name, len(shape), len(tt.shape.dim)))
                del tt.shape.dim[:]
                for d in shape:
                    tt.shape.dim.add().dim_value = d
            shape = []
            for d in tt.shape.dim:
                if d.HasField("dim_value") and d.dim_value == 0:
                    raise ConversionError("input %r has an empty dimension; empty tensors are not supported" % inp.name)
                if not d.HasField("dim_value") or d.dim_value <= 0:
                    raise ConversionError(
                        "input %r has a dynamic dimension (%s); give its shape with --input-shape %s=%s" % (
                            inp.name, d.dim_param or "?", inp.name,
                            ",".join(str(e.dim_value) if e.HasField("dim_value") and e.dim_value > 0 else "N"
                                     for e in tt.shape.dim)))
                shape.append(d.dim_value)
            if tt.elem_type not in KNOWN_ELEM:
                raise ConversionError("input %r has an element type the runtime does not hold" % inp.name)
            dtype = onnx.mapping.TENSOR_TYPE_TO_NP_TYPE[tt.elem_type]
            if not shape:
                raise ConversionError("input %r is a scalar; the runtime's inputs have 1 to 6 dimensions" % inp.name)
            if len(shape) > 6:
                raise ConversionError("input %r has more than 6 dimensions" % inp.name)
            perm = channels_last(len(shape)) if len(shape) == 4 else identity(len(shape))
            key = self.unique(inp.name)
            runtime_shape = [shape[p] for p in perm]
            self.doc[key] = {"type": "Input", "inputs": [], "outputs": [key], "size": runtime_shape,
                             "dataType": [type_code(dtype)]}
            self.set_runtime(inp.name, shape, dtype, key, perm)
            self.inputs.append({"name": key, "onnx_name": inp.name, "onnx_shape": shape, "shape": runtime_shape,
                                "perm": list(perm), "dtype": np.dtype(dtype).name, "index": len(self.inputs)})
        if self.input_shapes:
            raise ConversionError("--input-shape names no input of the model: %s" % ", ".join(self.input_shapes))
        self.shapes = {}
        inferred = shape_inference.infer_shapes(self.model)
        for vi in list(inferred.graph.value_info) + list(inferred.graph.output):
            tt = vi.type.tensor_type
            if tt.HasField("shape"):
                dims = [d.dim_value if d.HasField("dim_value") else -1 for d in tt.shape.dim]
                self.shapes[vi.name] = (dims, tt.elem_type)
        for node in graph.node:
            try:
                self.convert_node(node)
            except ConversionError:
                raise
            except Exception as e:  # noqa: BLE001 - a malformed node still names itself
                fail(node, "cannot convert (%s: %s)" % (type(e).__name__, e))
        outs = []
        for out in graph.output:
            v = self.values.get(out.name)
            if v is None:
                raise ConversionError("output %r is not produced" % out.name)
            if v.const is not None:
                # A folded output: an Identity node turns the constant into an output layer.
                key = self.unique(out.name)
                cname = self.unique(key + "_value")
                self.doc[key] = {"type": "Identity", "inputs": [cname], "outputs": [key], cname:
                                 self.initializer(v.const), "output_node_flag": [True]}
                outs.append({"name": key, "onnx_name": out.name, "onnx_shape": list(v.shape),
                             "shape": list(v.shape), "perm": list(range(v.rank)), "dtype": v.dtype.name})
                continue
            perm = channels_last(4) if v.rank == 4 and v.perm == channels_last(4) else identity(v.rank)
            ref = self.ref_as(out.name, perm, onnx.helper.make_node("Identity", [out.name], [out.name]))
            if ref in [o["name"] for o in outs] or self.doc[ref]["type"] == "Input":
                ref = self.emit("Reshape", out.name, [ref, None])
                cname = self.unique(ref + "_shape")
                self.doc[ref]["inputs"][1] = cname
                self.doc[ref][cname] = self.initializer(np.array([v.shape[p] for p in perm], dtype=np.int64))
            self.doc[ref]["output_node_flag"] = [True]
            outs.append({"name": ref, "onnx_name": out.name, "onnx_shape": list(v.shape),
                         "shape": [v.shape[p] for p in perm], "perm": list(perm), "dtype": v.dtype.name})
            if out.name in self.varying_rows:
                outs[-1]["rows_vary"] = True  # at most shape[0] rows
        self.rename_outputs(outs)
        self.outputs = outs
        self.prune_inputs()
        self.doc["__header__"] = {"converter_version": CONVERTER_VERSION, "count_of_inputs": len(self.inputs),
                                  "count_of_outputs": len(outs), "output_names": [o["name"] for o in outs]}

    def prune_inputs(self):
        """Drops inputs nothing reads (folded or unused); gives every input a
        leading unit dimension when their first dimensions differ, since the
        runtime takes the first dimension of all inputs as one batch size."""
        used = set()
        for k, node in self.doc.items():
            if k != "__header__":
                used.update(node["inputs"])
        kept = []
        for e in self.inputs:
            if e["name"] in used or self.doc[e["name"]].get("output_node_flag"):
                kept.append(e)
            else:
                del self.doc[e["name"]]
                self.unused_inputs.append(e)
        self.inputs = kept
        if len({e["shape"][0] for e in kept}) <= 1:
            return
        if any(len(e["shape"]) >= 6 for e in kept):
            raise ConversionError("inputs differ in their first dimension and one has 6 dimensions")
        doc = {}
        for k, node in self.doc.items():
            doc[k] = node
            if k != "__header__" and node["type"] == "Input":
                e = next(e for e in kept if e["name"] == k)
                held = list(node["size"])
                batched = self.unique(k + "_batched")
                node["size"] = [1] + held
                node["outputs"] = [batched]
                rk = self.unique(k + "_unbatched")
                cname = self.unique(rk + "_shape")
                doc[rk] = {"type": "Reshape", "inputs": [batched, cname], "outputs": [k],
                           cname: self.initializer(np.array(held, dtype=np.int64))}
                e["shape"] = [1] + held
        self.doc = doc

    def rename_outputs(self, outs):
        """Output layers take the ONNX output names where those are free."""

        renames = {}
        for o in outs:
            want = "".join(ch if ch.isalnum() or ch in "_-.:/" else "_" for ch in o["onnx_name"])
            if want and want != o["name"] and want not in self.used_names and want not in renames.values():
                renames[o["name"]] = want
        if not renames:
            return
        self.doc = {renames.get(k, k): v for k, v in self.doc.items()}
        self.weights = [(renames.get(k, k), w) for k, w in self.weights]
        for o in outs:
            o["name"] = renames.get(o["name"], o["name"])

    def out_shape(self, node, i=0):
        s = self.shapes.get(node.output[i])
        if s is None or any(d < 0 for d in s[0]):
            self.infer_node(node)
            s = self.shapes.get(node.output[i])
        if s is None or any(d < 0 for d in s[0]):
            fail(node, "the shape of output %r is unknown" % node.output[i])
        if s[1] not in KNOWN_ELEM:
            fail(node, "output element type %d is not held by the runtime" % s[1])
        if any(d == 0 for d in s[0]):
            fail(node, "empty tensors are not supported")
        return tuple(s[0]), onnx.mapping.TENSOR_TYPE_TO_NP_TYPE[s[1]]

    def infer_node(self, node):
        """Output shapes of one node from its inputs as converted so far:
        whole-graph inference leaves them open where an operand (Slice
        bounds, Resize sizes, Reshape or Expand targets) is computed from
        shapes, but those operands are folded constants by now."""
        inputs, inits = [], []
        for n in node.input:
            if not n:
                continue
            v = self.values[n]
            elem = onnx.mapping.NP_TYPE_TO_TENSOR_TYPE[v.dtype]
            if v.const is not None and (v.const.size <= 4096 or v.dtype.kind in "iub"):
                inits.append(numpy_helper.from_array(np.asarray(v.const), n))
            else:
                inputs.append(onnx.helper.make_tensor_value_info(n, elem, list(v.shape)))
        outputs = [onnx.helper.make_empty_tensor_value_info(o) for o in node.output if o]
        graph = onnx.helper.make_graph([node], "node", inputs, outputs, inits)
        model = onnx.helper.make_model(graph, opset_imports=list(self.model.opset_import))
        model.ir_version = self.model.ir_version
        try:
            inferred = shape_inference.infer_shapes(model, strict_mode=True)
        except Exception as e:  # noqa: BLE001 - the caller reports the shape as unknown
            fail(node, "output shapes cannot be inferred: %s" % str(e).splitlines()[-1][:200])
        for vi in list(inferred.graph.value_info) + list(inferred.graph.output):
            tt = vi.type.tensor_type
            if tt.HasField("shape"):
                dims = [d.dim_value if d.HasField("dim_value") else -1 for d in tt.shape.dim]
                if all(d >= 0 for d in dims):
                    self.shapes[vi.name] = (dims, tt.elem_type)

    def convert_node(self, node):
        op = node.op_type
        if node.domain not in ("", "ai.onnx"):
            fail(node, "operator domain %r is not supported" % node.domain)
        attrs = {a.name: onnx.helper.get_attribute_value(a) for a in node.attribute}
        ins = [self.values.get(n) if n else None for n in node.input]
        for n, v in zip(node.input, ins):
            if n and v is None:
                fail(node, "input %r is undefined" % n)
        if op == "Constant":
            return self.set_const(node.output[0], constant_value(node, attrs))
        if all(v is None or v.const is not None for v in ins) and op in FOLD:
            try:
                res = FOLD[op](node, attrs, [None if v is None else v.const for v in ins], self)
            except ConversionError:
                raise
            except Exception as e:  # noqa: BLE001 - folding failures name the node
                fail(node, "cannot fold constant: %s" % e)
            if not isinstance(res, (list, tuple)):
                res = [res]
            for name, arr in zip(node.output, res):
                if name:
                    self.set_const(name, arr)
            return
        if op in ("Shape", "Size"):
            return self.set_const(node.output[0], FOLD[op](node, attrs, [np.zeros(ins[0].shape)], self))
        handler = HANDLERS.get(op)
        if handler is None:
            fail(node, "operator is not supported by the runtime")
        handler(self, node, attrs, ins)

    # ---- helpers for handlers --------------------------------------------
    def key(self, node):
        return node.name or node.output[0]


def constant_value(node, attrs):
    if "value" in attrs:
        return numpy_helper.to_array(attrs["value"])
    for k, dt in (("value_float", np.float32), ("value_int", np.int64)):
        if k in attrs:
            return np.array(attrs[k], dtype=dt)
    for k, dt in (("value_floats", np.float32), ("value_ints", np.int64)):
        if k in attrs:
            return np.array(attrs[k], dtype=dt)
    fail(node, "unsupported Constant form")
