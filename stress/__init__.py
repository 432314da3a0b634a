"""velkor's stress engines: the thread stress (common.py) and the long forms of the API fuzzer and of the thread stress."""
