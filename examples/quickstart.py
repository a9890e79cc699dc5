"""A first look at orvala: the column value types and their NumPy dtypes."""
import orvala

print("orvala", orvala.__version__)
for name in ["BOOL", "uchar", "Integer", "INT64", "float", "DOUBLE", "fcomplex",
             "DComplex", "String", "RECORD"]:
    dtype = orvala.numpy_dtype(name)
    print(f"{name:>9} -> numpy {dtype:<10} -> {orvala.casa_type(dtype)}")
