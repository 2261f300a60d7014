// test_textures.cpp: being written.
